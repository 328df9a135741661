#pragma once

#include <cstdint>

#include "error.h"

namespace tindral::platform {

/// The error for an operating-system code (Windows: a system error code with FormatMessageW's
/// text without its line break; POSIX: an errno value with strerror's text).
Error os_error(std::uint32_t code);

/// os_error for the calling thread's last error (GetLastError / errno).
Error last_os_error();

/// os_error with the kind a caller knows better than the code alone tells (a POSIX ELOOP from
/// an open that refuses links means "a link is there": ErrorKind::WrongType).
Error os_error(std::uint32_t code, ErrorKind kind);

}  // namespace tindral::platform
