// A stream buffer for tests of readers facing a failing disk.
#ifndef DEZEVAZIR_TESTS_SUPPORT_FAILING_BUF_H_
#define DEZEVAZIR_TESTS_SUPPORT_FAILING_BUF_H_

#include <ios>
#include <streambuf>
#include <string>
#include <utility>

namespace dztest {

// A stream buffer over fixed text whose next read then fails the way a
// file buffer reports a failed read(2): by throwing.
class FailingBuf : public std::streambuf {
 public:
  explicit FailingBuf(std::string text) : text_(std::move(text)) {
    setg(text_.data(), text_.data(), text_.data() + text_.size());
  }

 protected:
  int_type underflow() override { throw std::ios_base::failure("read error"); }

 private:
  std::string text_;
};

}  // namespace dztest

#endif  // DEZEVAZIR_TESTS_SUPPORT_FAILING_BUF_H_
