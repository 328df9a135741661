#pragma once

#include "error.h"

namespace tindral::platform {

/// Whether Tindral comes as an installer package on this platform (the MSI on Windows; natively
/// there is none), so that messages point to it only where it exists.
bool installer_package_exists();

/// Whether that package is installed on this machine: then the package, not tindralctl
/// uninstall, removes the service.
Result<bool> installed_by_package();

}  // namespace tindral::platform
