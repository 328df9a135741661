#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The most config.txt or settings.txt may hold. Either is a few lines an administrator writes;
/// a larger one is a mistake or an attack, and reading it whole would cost memory in proportion
/// to its size (a sparse file claims gigabytes at no cost to whoever makes it) at every scan and,
/// for settings.txt, every 30 seconds.
inline constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

/// config.txt or settings.txt as the service sees it.
struct ConfigFileRead {
  /// The bytes; nothing when the file is missing or does not count.
  std::optional<std::string> bytes;
  /// Why a file that is there does not count (see distrust_reason).
  std::optional<std::string_view> ignored_because;
};

/// Reads config.txt or settings.txt through the very handle it was judged by: a missing file,
/// and one that does not count (also one whose owner cannot be read), give no bytes and no
/// error. An error only for a file that counts but cannot be read, or that holds more than
/// kMaxConfigFileBytes ("the file is larger than 1 MiB", ErrorKind::InvalidData).
Result<ConfigFileRead> read_config_file(platform::FileSystem& fs, const Path& path);

}  // namespace tindral
