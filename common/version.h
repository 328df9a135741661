#pragma once

#include <string_view>

namespace tindral {

/// Tindral's version as the build names it ("0.1.0"); the service's `--version` prints it and
/// tindralctl compares it with the installed service's.
std::string_view program_version();

}  // namespace tindral
