// Line reading with a length cap for the sketch file. A damaged or foreign
// file may hold one enormous line; the cap keeps memory bounded and the
// caller learns that the line was too long instead of getting a cut piece.
#ifndef DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_
#define DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_

#include <cstddef>
#include <exception>
#include <istream>
#include <string>

enum class LineRead { kOk, kTooLong, kEnd, kError };

// Reads one line ending in '\n' (or at the end of the stream) into out,
// without the '\n' and without one carriage return before it. A line of more
// than maxChars characters (carriage return included) is reported as
// kTooLong, out then holding its first maxChars characters, and reading
// stops there (a device given by mistake may never show a '\n').
// kEnd: nothing was left to read. kError: the file could not be read (a
// directory, a failing disk); the stream is then marked bad.
inline LineRead readBoundedLine(std::istream& is, std::size_t maxChars, std::string& out) {
  out.clear();
  std::streambuf* sb = is.rdbuf();
  if (sb == nullptr || is.bad()) return LineRead::kError;
  if (!is.good()) return LineRead::kEnd;
  bool any = false;
  for (;;) {
    int c;
    try {
      c = sb->sbumpc();
    } catch (const std::exception&) {
      // A file buffer reports a failed read(2) by throwing; the stream
      // functions would turn it into badbit, this direct reader does too.
      is.setstate(std::ios::badbit);
      return LineRead::kError;
    }
    if (c == std::char_traits<char>::eof()) {
      is.setstate(std::ios::eofbit);
      if (!any) return LineRead::kEnd;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (out.size() == maxChars) return LineRead::kTooLong;
    out.push_back(static_cast<char>(c));
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return LineRead::kOk;
}

#endif  // DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_
