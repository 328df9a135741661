#include "config/config_file.h"

#include <utility>

#include "config/trusted_files.h"

namespace tindral {

Result<ConfigFileRead> read_config_file(platform::FileSystem& fs, const Path& path) {
  ConfigFileRead file;
  // One byte past the bound tells a file that is too large from one that just fits.
  Result<platform::TrustedRead> read = fs.read_trusted(path, kMaxConfigFileBytes + 1);
  if (!read) {
    if (!read.error().is_not_found()) file.ignored_because = kUnjudgedReason;
    return file;
  }
  file.ignored_because = distrust_reason(read->trust);
  if (file.ignored_because) return file;
  if (!read->content) return std::move(read->content).error();
  if (read->content->size() > kMaxConfigFileBytes) {
    return Error("the file is larger than 1 MiB", ErrorKind::InvalidData);
  }
  file.bytes = std::move(*read->content);
  return file;
}

}  // namespace tindral
