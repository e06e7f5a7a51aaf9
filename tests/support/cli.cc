#include "cli.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace dztest {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "dztest-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string dezevazirPath() { return DEZEVAZIR_BIN; }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

CliResult runCli(const std::string& cwd, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& binary) {
  const std::string bin = binary.empty() ? dezevazirPath() : binary;
  TempDir capture;
  const std::string outPath = capture.file("stdout");
  const std::string errPath = capture.file("stderr");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(250);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("ZIZUDIR3");
    unsetenv("DEDUPEINTERNAL");
    unsetenv("VERBOSE_OUTPUT");
    for (const auto& [k, v] : env) {
      if (v == "\x01UNSET") unsetenv(k.c_str());
      else setenv(k.c_str(), v.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(251);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  CliResult r;
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus)) r.status = 128 + WTERMSIG(wstatus);
  r.out = readFile(outPath);
  r.err = readFile(errPath);
  return r;
}

}  // namespace dztest
