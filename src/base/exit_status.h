// The process's exit statuses, as the README's table lists them.
#ifndef DEZEVAZIR_BASE_EXIT_STATUS_H_
#define DEZEVAZIR_BASE_EXIT_STATUS_H_

constexpr int kExitOk = 0;
constexpr int kExitNoRunLog = 10;
constexpr int kExitSourceUnreadable = 100;
constexpr int kExitCommandLine = 123;
constexpr int kExitTooManyReadErrors = 126;
constexpr int kExitUnusableMergeInput = 128;
constexpr int kExitNoMergeInput = 129;
constexpr int kExitThreadsMismatch = 130;
constexpr int kExitUndefinedSetting = 133;
constexpr int kExitLoadUnreadable = 134;
// The sketch file (or its recovery file) cannot be written.
constexpr int kExitSketchNotWritten = 136;

#endif  // DEZEVAZIR_BASE_EXIT_STATUS_H_
