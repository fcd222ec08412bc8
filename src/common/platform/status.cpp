#include "common/platform/status.h"

#include <cstring>

namespace platform {

std::string ErrnoReason(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

Status FailErrno(const std::string& what, int err) { return Status::Fail(ErrnoReason(what, err)); }

}  // namespace platform
