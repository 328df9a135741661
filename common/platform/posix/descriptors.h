#pragma once

// What the POSIX change watcher needs from the other POSIX parts of the platform layer, and
// nothing above the platform layer sees.

#include "platform/file_system.h"
#include "platform/stop_signal.h"

namespace tindral::platform {

/// The descriptor of a folder this platform layer opened, or -1 for any other Folder (a test's
/// fake). The folder keeps it: the caller never closes it.
int folder_descriptor(Folder& folder);

/// A descriptor that turns readable once `stop` is raised and stays so, for a poll() that also
/// waits on other descriptors; -1 when none could be made (then only requested() tells).
int stop_signal_descriptor(const StopSignal& stop);

}  // namespace tindral::platform
