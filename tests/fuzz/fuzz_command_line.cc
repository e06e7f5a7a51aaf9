// The batch-line splitter on arbitrary lines. Its grammar: blanks, tabs and
// carriage returns separate words outside quotes; ' and " toggle quoting
// (either closes either); a backslash takes the next character literally
// when that is a backslash, a quote or a separator, and \n stands for a
// newline; any other escape, or a backslash at the end, is refused with
// boost's escaped_list_error; empty words are dropped.
//
// The refusal is expected here (the driver is to turn it into "Error parsing
// line #N"); any other exception, crash or sanitizer report is a finding, and
// so is a broken round trip: the words, each quoted and joined by blanks,
// must split back into the same words, or a batch line could not be written
// for an argument.
#include <boost/token_functions.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runcontrol/command_lines.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "command_line: %s for line \"%s\" (%zu bytes)\n", what, line.c_str(), line.size());
  std::abort();
}

bool isSeparator(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

// Double quotes around the word, a backslash before every backslash and
// quote inside it: the way to write any word on a batch line.
std::string quoted(const std::string& word) {
  std::string s = "\"";
  for (char ch : word) {
    if (ch == '\\' || ch == '"' || ch == '\'') s += '\\';
    s += ch;
  }
  return s + "\"";
}

// Split at separators with empty words dropped: the whole grammar for a
// line without quotes and backslashes.
std::vector<std::string> plainWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char ch : line) {
    if (isSeparator(ch)) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += ch;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  try {
    words = splitCommandLine(line);
  } catch (const boost::escaped_list_error&) {
    // Only a backslash can make the line unsplittable.
    if (line.find('\\') == std::string::npos) fail("refused a line without a backslash", line);
    return 0;
  }

  for (const std::string& w : words) {
    if (w.empty()) fail("gave an empty word", line);
  }
  if (line.find_first_of("\\'\"") == std::string::npos && words != plainWords(line)) {
    fail("split a line without quotes or backslashes differently from its blanks", line);
  }

  std::string rejoined;
  for (const std::string& w : words) rejoined += (rejoined.empty() ? "" : " ") + quoted(w);
  std::vector<std::string> again;
  try {
    again = splitCommandLine(rejoined);
  } catch (const boost::escaped_list_error&) {
    fail("refused its own words, quoted", line);
  }
  if (again != words) fail("quoted words do not split back into the same words", line);
  return 0;
}
