#include "platform/process.h"

#include <string>

#include "platform/os_error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform {

Result<Path> current_executable() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return last_os_error().wrap("Failed to find the program's own file");
    // A full buffer means the name was cut short.
    if (length < buffer.size()) {
      buffer.resize(length);
      return Path(win32::wide_to_wtf8(buffer));
    }
    buffer.resize(buffer.size() * 2);
  }
}

Result<Path> absolute_path(const Path& path) {
  const std::optional<std::wstring> wide = win32::wtf8_to_wide(path.bytes());
  if (!wide) return Error("The path is not valid text", ErrorKind::InvalidData);
  const DWORD needed = GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (needed == 0) return last_os_error().wrap("Failed to make the path absolute");
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return last_os_error().wrap("Failed to make the path absolute");
  }
  full.resize(length);
  return Path(win32::wide_to_wtf8(full));
}

}  // namespace tindral::platform
