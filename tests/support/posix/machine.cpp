#include "support/machine.h"

#include <unistd.h>

#include <limits>

namespace tindral::test_support {

bool running_under_wine() { return false; }

bool running_as_root() { return geteuid() == 0; }

// systemd's own test for having booted the machine.
bool systemd_runs() { return access("/run/systemd/system", F_OK) == 0; }

// The kernel limits a whole path to PATH_MAX, not how deep a file may lie.
std::size_t longest_path_bytes() { return std::numeric_limits<std::size_t>::max(); }

}  // namespace tindral::test_support
