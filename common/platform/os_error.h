#pragma once

#include <cstdint>

#include "error.h"

namespace tindral::platform {

/// The error for an operating-system code (Windows: a system error code with FormatMessageW's
/// text without its line break; POSIX: an errno value with strerror's text).
Error os_error(std::uint32_t code);

/// os_error for the calling thread's last error (GetLastError / errno).
Error last_os_error();

}  // namespace tindral::platform
