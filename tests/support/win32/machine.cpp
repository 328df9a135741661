#include "support/machine.h"

#include "platform/win32/windows_api.h"

namespace tindral::test_support {

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Administrators on Windows still meet READONLY and ACLs the way the tests expect.
bool running_as_root() { return false; }

bool systemd_runs() { return false; }

std::size_t longest_path_bytes() {
  constexpr std::size_t kWindowsLongest = 32767 - 8;  // less the \\?\ prefix and the drive
  constexpr std::size_t kWineLongest = 4266 - 8;
  return running_under_wine() ? kWineLongest : kWindowsLongest;
}

}  // namespace tindral::test_support
