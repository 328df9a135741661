#pragma once

#include <span>
#include <string_view>

namespace tindral::platform {

/// The operating system's own folders that the walks must leave alone, each together with
/// everything below it, beside the ones the environment names (the Windows folder, the program
/// folders, the program-data folder). Absolute, in the platform's spelling, without a trailing
/// separator.
std::span<const std::string_view> protected_system_folders();

}  // namespace tindral::platform
