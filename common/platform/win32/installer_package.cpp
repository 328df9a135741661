#include "platform/installer_package.h"

#include "platform/os_error.h"
#include "platform/win32/windows_api.h"
// After <windows.h>: the Windows Installer's list of installed products.
#include <msi.h>

namespace tindral::platform {

bool installer_package_exists() { return true; }

// Every version of the package shares one upgrade code (packaging/msi/tindral.wxs, from which
// the build takes TINDRAL_UPGRADE_CODE), so any installed version is found by it.
Result<bool> installed_by_package() {
  wchar_t product[39] = {};
  const UINT found = MsiEnumRelatedProductsW(L"{" TINDRAL_UPGRADE_CODE L"}", 0, 0, product);
  if (found == ERROR_SUCCESS) return true;
  if (found == ERROR_NO_MORE_ITEMS) return false;
  return os_error(found).wrap(
      "Failed to ask Windows Installer whether Tindral's package is "
      "installed");
}

}  // namespace tindral::platform
