#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tindral::test_support {

/// Runs `work` in a forked child that, when the test runs as root, first drops to the
/// unprivileged account nobody (uid and gid 65534, no groups), and returns the text `work`
/// gave back; nothing when the child could not drop its privileges or ended early. POSIX only:
/// what the child needs must be reachable by nobody or opened before the call.
std::optional<std::string> said_as_nobody(const std::function<std::string()>& work);

}  // namespace tindral::test_support
