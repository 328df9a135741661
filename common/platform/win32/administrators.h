#pragma once

// Who counts as an administrator when the service judges a file, and the privileges it uses as
// one. Windows only; the POSIX layer's rule is root or the service's own account.

#include "error.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

/// True for SYSTEM, Administrators, TrustedInstaller, the account the process runs as, and any
/// user account in the Administrators group (is_member_of_administrators).
bool is_administrator_account(PSID sid);

/// True when `sid` is a user account in the local Administrators group, directly or through a
/// global group that is a member. False when that cannot be found out.
bool is_member_of_administrators(PSID sid);

/// Enables the take-ownership and restore privileges in the process's token, which LocalSystem
/// and elevated administrators hold disabled. An error when the token lacks one of them.
Result<void> enable_repair_privileges();

}  // namespace tindral::platform::win32
