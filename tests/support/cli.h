// Runs the built dezevazir binary in a directory and captures what it did.
#ifndef DEZEVAZIR_TESTS_SUPPORT_CLI_H_
#define DEZEVAZIR_TESTS_SUPPORT_CLI_H_

#include <map>
#include <string>
#include <vector>

namespace dztest {

struct CliResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A fresh empty directory under the system temp dir, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs `binary args...` with cwd as working directory. `env` entries are set
// (or, with an empty-optional marker value "\x01UNSET", removed) on top of the
// test's own environment; ZIZUDIR3, DEDUPEINTERNAL and VERBOSE_OUTPUT are
// always cleared first so that only what a test asks for is present.
CliResult runCli(const std::string& cwd, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {},
                 const std::string& binary = "");

// Path of the dezevazir binary under test.
std::string dezevazirPath();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace dztest

#endif  // DEZEVAZIR_TESTS_SUPPORT_CLI_H_
