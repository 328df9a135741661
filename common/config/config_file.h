#pragma once

#include <cstddef>
#include <string>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The most config.txt or settings.txt may hold. Either is a few lines an administrator writes;
/// a larger one is a mistake or an attack, and reading it whole would cost memory in proportion
/// to its size (a sparse file claims gigabytes at no cost to whoever makes it) at every scan and,
/// for settings.txt, every 30 seconds.
inline constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

/// The bytes of config.txt or settings.txt, or the error "the file is larger than 1 MiB"
/// (ErrorKind::InvalidData) for one that holds more than kMaxConfigFileBytes.
Result<std::string> read_config_file(platform::FileSystem& fs, const Path& path);

}  // namespace tindral
