#include "platform/elevation.h"

#include <unistd.h>

namespace tindral::platform {

// The data folder and the unit file belong to root; the effective user decides what a call may
// change.
bool process_is_elevated() { return ::geteuid() == 0; }

}  // namespace tindral::platform
