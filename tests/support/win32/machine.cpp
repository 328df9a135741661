#include "support/machine.h"

#include <windows.h>

namespace tindral::testing {

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Administrators on Windows still meet READONLY and ACLs the way the tests expect.
bool running_as_root() { return false; }

}  // namespace tindral::testing
