#pragma once

#include "platform/stop_signal.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

/// The manual-reset event that `stop`'s request sets and leaves set, for a wait on it together
/// with other handles; null when it could not be created (then only StopSignal::requested
/// tells).
HANDLE stop_event(const StopSignal& stop);

}  // namespace tindral::platform::win32
