#include "platform/elevation.h"

#include "platform/win32/windows_api.h"

namespace tindral::platform {

// With User Account Control an administrator's ordinary processes run with a filtered token
// that is not elevated; without it (and under Wine) an administrator's token counts as elevated.
bool process_is_elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const win32::ScopedFileHandle owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
    return false;
  }
  return elevation.TokenIsElevated != 0;
}

}  // namespace tindral::platform
