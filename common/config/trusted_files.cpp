#include "config/trusted_files.h"

namespace tindral {

std::optional<std::string_view> distrust_reason(platform::FileSystem& fs, const Path& file) {
  Result<platform::Trust> trust = fs.trust(file);
  if (!trust) return std::nullopt;
  switch (*trust) {
    case platform::Trust::Administrators:
      return std::nullopt;
    case platform::Trust::Link:
      return "it is a link";
    case platform::Trust::OtherOwner:
      return "it is owned by another account";
    case platform::Trust::OpenToOthers:
      return "other accounts may change it";
  }
  return std::nullopt;
}

bool is_trusted_data_file(platform::FileSystem& fs, const Path& file) {
  return fs.exists(file) && !distrust_reason(fs, file);
}

}  // namespace tindral
