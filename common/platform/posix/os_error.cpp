#include "platform/os_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace tindral::platform {

namespace {

// strerror_r comes in two shapes: the XSI one returns a status and fills the buffer, the GNU one
// returns the text (which may or may not be the buffer). Overloads pick whichever the C library
// declares, so neither feature macro has to be forced.
[[maybe_unused]] std::string strerror_text(int status, const char* buffer, int code) {
  if (status != 0) return "Unknown error " + std::to_string(code);
  return buffer;
}

[[maybe_unused]] std::string strerror_text(const char* text, const char*, int) { return text; }

std::string system_text(int code) {
  char buffer[256] = {};
  return strerror_text(strerror_r(code, buffer, sizeof buffer), buffer, code);
}

// The only place that decides what an errno value means to the callers.
ErrorKind kind_of(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::AccessDenied;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EXDEV:
      return ErrorKind::OtherFileSystem;
    default:
      return ErrorKind::Other;
  }
}

}  // namespace

Error os_error(std::uint32_t code) {
  const int errno_value = static_cast<int>(code);
  return Error::from_os(code, system_text(errno_value), kind_of(errno_value));
}

Error last_os_error() { return os_error(static_cast<std::uint32_t>(errno)); }

Error os_error(std::uint32_t code, ErrorKind kind) {
  return Error::from_os(code, system_text(static_cast<int>(code)), kind);
}

}  // namespace tindral::platform
