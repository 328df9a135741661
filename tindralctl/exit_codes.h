#pragma once

namespace tindral::ctl {

/// tindralctl's exit codes, so that scripts can tell the kinds of failure apart.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,        ///< the operation failed (an OS error, the service manager said no)
  kExitUsage = 2,         ///< unknown command or option, a missing or malformed argument
  kExitNotElevated = 3,   ///< the command changes things and needs an administrator / root
  kExitNotInstalled = 4,  ///< the service is not installed
  kExitNoDataFolder = 5,  ///< the data folder does not exist
  kExitRefused = 6,       ///< a folder was refused (missing, not a folder, protected, not listed)
  kExitTimedOut = 7,      ///< the service did not report the request's end in time
};

}  // namespace tindral::ctl
