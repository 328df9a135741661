#include "platform/process.h"

#include <iterator>
#include <string>
#include <vector>

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

// The fixed part of the version resource, which every tool that sets one fills in (the strings
// beside it are free text).
Result<std::string> program_version(const Path& program) {
  const std::optional<std::wstring> name = win32::wtf8_to_wide(program.bytes());
  if (!name) return Error("The path is not valid text", ErrorKind::InvalidData);
  const std::string failure = "Failed to read the version of " + program.display();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(name->c_str(), &ignored);
  if (size == 0) return last_os_error().wrap(failure);
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(name->c_str(), 0, size, data.data())) {
    return last_os_error().wrap(failure);
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return Error("It has no version resource").wrap(failure);
  }
  const WORD parts[] = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                        HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
  std::string version = std::to_string(parts[0]);
  for (std::size_t i = 1; i < std::size(parts); ++i) {
    if (i == 3 && parts[i] == 0) break;
    version.append(1, '.').append(std::to_string(parts[i]));
  }
  return version;
}

}  // namespace tindral::platform
