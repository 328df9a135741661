#include "platform/installer_package.h"

namespace tindral::platform {

// The native build is installed by hand or by tindralctl install.
bool installer_package_exists() { return false; }

Result<bool> installed_by_package() { return false; }

}  // namespace tindral::platform
