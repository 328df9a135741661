#include "config/config_file.h"

namespace tindral {

Result<std::string> read_config_file(platform::FileSystem& fs, const Path& path) {
  // One byte past the bound tells a file that is too large from one that just fits.
  Result<std::string> bytes = fs.read_file(path, kMaxConfigFileBytes + 1);
  if (bytes && bytes->size() > kMaxConfigFileBytes) {
    return Error("the file is larger than 1 MiB", ErrorKind::InvalidData);
  }
  return bytes;
}

}  // namespace tindral
