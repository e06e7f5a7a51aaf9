// Line reading with a length cap for the sketch file. A damaged or foreign
// file may hold one enormous line; the cap keeps memory bounded and the
// caller learns that the line was too long instead of getting a cut piece.
#ifndef DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_
#define DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_

#include <cstddef>
#include <istream>
#include <string>

enum class LineRead { kOk, kTooLong, kEnd };

// Reads one line ending in '\n' (or at the end of the stream) into out,
// without the '\n' and without one carriage return before it. A line of more
// than maxChars characters (carriage return included) is reported as
// kTooLong, out then holding its first maxChars characters; with skipRest the
// rest of that line is consumed so that reading can go on with the next one,
// else reading stops there (a device given by mistake may never show a '\n').
// kEnd: nothing was left to read.
inline LineRead readBoundedLine(std::istream& is, std::size_t maxChars, std::string& out,
                                bool skipRest = false) {
  out.clear();
  std::streambuf* sb = is.rdbuf();
  if (sb == nullptr || !is.good()) return LineRead::kEnd;
  bool tooLong = false;
  bool any = false;
  for (;;) {
    const int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      is.setstate(std::ios::eofbit);
      if (!any) return LineRead::kEnd;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (out.size() < maxChars) {
      out.push_back(static_cast<char>(c));
    } else {
      tooLong = true;
      if (!skipRest) break;
    }
  }
  if (tooLong) return LineRead::kTooLong;
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return LineRead::kOk;
}

#endif  // DEZEVAZIR_SKETCHFILE_BOUNDED_LINE_H_
