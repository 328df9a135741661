#include "platform/path.h"

#include "text.h"

namespace tindral {

std::string Path::display() const { return text::to_lossy_utf8(bytes_); }

namespace {

// The path without the separators at its end, unless all there is is a separator.
std::string_view without_trailing_separators(std::string_view bytes) {
  while (bytes.size() > 1 && platform::is_separator(bytes.back())) bytes.remove_suffix(1);
  return bytes;
}

// Where the last component starts.
std::size_t last_component_start(std::string_view bytes) {
  std::size_t start = bytes.size();
  while (start > 0 && !platform::is_separator(bytes[start - 1])) --start;
  return start;
}

}  // namespace

Path Path::parent() const {
  const std::string_view bytes = without_trailing_separators(bytes_);
  const std::size_t start = last_component_start(bytes);
  if (start == 0) return Path();
  std::size_t end = start - 1;
  while (end > 0 && platform::is_separator(bytes[end - 1])) --end;
  // "/" and "\" are roots; so is a drive root where the platform spells drives ("C:\", also
  // behind a prefix: "\\?\C:\").
  const bool drive_root = platform::kSeparator == '\\' && end > 0 && bytes[end - 1] == ':';
  if (end == 0 || drive_root) ++end;
  return Path(std::string(bytes.substr(0, end)));
}

std::string_view Path::file_name() const {
  const std::string_view bytes = without_trailing_separators(bytes_);
  if (bytes.size() == 1 && platform::is_separator(bytes[0])) return {};
  return bytes.substr(last_component_start(bytes));
}

Path Path::child(std::string_view name) const {
  std::string joined;
  joined.reserve(bytes_.size() + 1 + name.size());
  joined = bytes_;
  if (joined.empty() || !platform::is_separator(joined.back())) joined += platform::kSeparator;
  joined += name;
  return Path(std::move(joined));
}

}  // namespace tindral
