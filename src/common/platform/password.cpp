#include "common/platform/password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/platform/fd.h"

namespace platform {
namespace {

// Echo off for as long as the prompt waits; restored on every way out.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

Status ResolvePassword(const std::string* option, const char* variable, std::string* password) {
  if (option != nullptr) {
    *password = *option;
    return Status::Ok();
  }
  if (const char* fromEnvironment = std::getenv(variable)) {
    *password = fromEnvironment;
    return Status::Ok();
  }
  if (::isatty(STDIN_FILENO) != 1)
    return Status::Fail(std::string(kNoPasswordGiven) + " (--password or $" + variable +
                        "; standard input is not a terminal to ask)");
  // Echo goes off before the prompt shows, so nothing typed at once is seen.
  EchoOff echoOff(STDIN_FILENO);
  if (!echoOff.active()) return FailErrno("cannot switch off the echo of the terminal");
  std::fputs("Password: ", stderr);
  std::fflush(stderr);
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t n = RetryOnInterrupt([&] { return ::read(STDIN_FILENO, &c, 1); });
    if (n < 0) return FailErrno("cannot read the password from the terminal");
    // End of input before anything was typed is no answer, not an empty password.
    if (n == 0 && line.empty())
      return Status::Fail(std::string(kNoPasswordGiven) + " (end of input at the prompt)");
    if (n == 0 || c == '\n') break;
    line.push_back(c);
  }
  *password = line;
  return Status::Ok();
}

}  // namespace platform
