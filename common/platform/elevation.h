#pragma once

namespace tindral::platform {

/// True when the process may change the service and its data folder: an elevated administrator
/// on Windows (with User Account Control, an administrator's ordinary process is not), root
/// natively.
bool process_is_elevated();

}  // namespace tindral::platform
