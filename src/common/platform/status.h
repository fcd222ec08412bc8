// The one way a reason travels in the core libraries: an ok flag and one
// line that names the file and the cause, as util-linux tools print it
// ("cannot open /x/y.img: Permission denied"). Specified return codes and
// message keys stay where a contract names them; a Status travels beside.
#pragma once

#include <cerrno>
#include <string>
#include <utility>

namespace platform {

struct Status {
  bool ok = true;
  std::string message;  // one line; empty when ok

  static Status Ok() { return {}; }
  static Status Fail(std::string why) { return {false, std::move(why)}; }
  explicit operator bool() const { return ok; }
};

// "<what>: <strerror(err)>", e.g. ErrnoReason("cannot open " + path).
std::string ErrnoReason(const std::string& what, int err = errno);
// Status::Fail(ErrnoReason(what, err)).
Status FailErrno(const std::string& what, int err = errno);

}  // namespace platform
