#pragma once

// Who counts as an administrator when the service judges a file, and the privileges it uses as
// one. Windows only; the POSIX layer's rule is root or the service's own account.

#include <vector>

#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

/// True for SYSTEM, Administrators, TrustedInstaller, the account the process runs as, and any
/// user account in the Administrators group (is_member_of_administrators).
bool is_administrator_account(PSID sid);

/// True when `sid` is a user account in the local Administrators group, directly or through a
/// global group that is a member. False when that cannot be found out.
bool is_member_of_administrators(PSID sid);

/// While it lives, the take-ownership and restore privileges are enabled in the process's token
/// (LocalSystem and elevated administrators hold them disabled); afterwards they are as they
/// were, so that nothing else the process opens gets past a DACL by them.
class RepairPrivileges {
 public:
  RepairPrivileges();
  ~RepairPrivileges();
  RepairPrivileges(const RepairPrivileges&) = delete;
  RepairPrivileges& operator=(const RepairPrivileges&) = delete;

  /// Whether both are enabled: the token holds them, and enabling them did not fail.
  bool enabled() const { return enabled_; }

 private:
  ScopedFileHandle token_;
  /// What AdjustTokenPrivileges reported as the state before (a TOKEN_PRIVILEGES).
  std::vector<BYTE> previous_;
  bool enabled_ = false;
};

}  // namespace tindral::platform::win32
