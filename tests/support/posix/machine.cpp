#include "support/machine.h"

#include <unistd.h>

namespace tindral::testing {

bool running_under_wine() { return false; }

bool running_as_root() { return geteuid() == 0; }

}  // namespace tindral::testing
