#include "config/trusted_files.h"

namespace tindral {

std::optional<std::string_view> distrust_reason(platform::Trust trust) {
  switch (trust) {
    case platform::Trust::Administrators:
      return std::nullopt;
    case platform::Trust::Link:
      return "it is a link";
    case platform::Trust::OtherOwner:
      return "it is owned by another account";
    case platform::Trust::OpenToOthers:
      return "other accounts may change it";
  }
  return kUnjudgedReason;
}

std::optional<std::string_view> distrust_reason(platform::FileSystem& fs, const Path& file) {
  Result<platform::Trust> trust = fs.trust(file);
  if (!trust) {
    if (trust.error().is_not_found()) return std::nullopt;
    return kUnjudgedReason;
  }
  return distrust_reason(*trust);
}

bool is_trusted_data_file(platform::FileSystem& fs, const Path& file) {
  Result<platform::Trust> trust = fs.trust(file);
  return trust && *trust == platform::Trust::Administrators;
}

}  // namespace tindral
