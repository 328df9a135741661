#include "platform/path.h"

#include "text.h"

namespace tindral {

std::string Path::display() const { return text::to_lossy_utf8(bytes_); }

Path Path::child(std::string_view name) const {
  std::string joined;
  joined.reserve(bytes_.size() + 1 + name.size());
  joined = bytes_;
  if (joined.empty() || !platform::is_separator(joined.back())) joined += platform::kSeparator;
  joined += name;
  return Path(std::move(joined));
}

}  // namespace tindral
