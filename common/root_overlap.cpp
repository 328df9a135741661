#include "root_overlap.h"

#include <unordered_map>

#include "text.h"

namespace tindral {

namespace {

char separator_of(PathStyle style) { return style == PathStyle::Windows ? '\\' : '/'; }

// The text two roots are compared by, ending in a separator, so that a root encloses another
// exactly when its key is a shorter beginning of the other's: "C:\Data\" of "C:\Data\c\" but not
// of "C:\Database\". A drive's or a share's root ends in one already ("C:\").
std::string comparison_key(std::string_view canonical, PathStyle style) {
  std::string key =
      style == PathStyle::Windows ? text::to_upper_ordinal(canonical) : std::string(canonical);
  if (key.empty() || key.back() != separator_of(style)) key += separator_of(style);
  return key;
}

bool encloses(std::string_view outer_key, std::string_view inner_key) {
  return inner_key.size() > outer_key.size() && inner_key.starts_with(outer_key);
}

}  // namespace

RootOverlap root_overlap(std::string_view root, std::string_view other, PathStyle style) {
  const std::string root_key = comparison_key(root, style);
  const std::string other_key = comparison_key(other, style);
  if (root_key == other_key) return RootOverlap::Same;
  if (encloses(other_key, root_key)) return RootOverlap::Inside;
  if (encloses(root_key, other_key)) return RootOverlap::Encloses;
  return RootOverlap::Apart;
}

// Each root looks up the folders above it, outermost first, among the listed roots, which keeps
// a long config.txt from costing each line a comparison with every other.
std::vector<std::optional<std::size_t>> covering_roots(std::span<const std::string> roots,
                                                       PathStyle style) {
  std::vector<std::string> keys;
  keys.reserve(roots.size());
  for (const std::string& root : roots) keys.push_back(comparison_key(root, style));
  std::unordered_map<std::string_view, std::size_t> first_listing;
  for (std::size_t i = 0; i < keys.size(); ++i) first_listing.try_emplace(keys[i], i);

  std::vector<std::optional<std::size_t>> covering(roots.size());
  const char separator = separator_of(style);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string_view key = keys[i];
    for (std::size_t end = key.find(separator);
         end != std::string_view::npos && end + 1 < key.size();
         end = key.find(separator, end + 1)) {
      if (auto outer = first_listing.find(key.substr(0, end + 1)); outer != first_listing.end()) {
        covering[i] = outer->second;
        break;
      }
    }
    if (!covering[i] && first_listing.at(key) != i) covering[i] = first_listing.at(key);
  }
  return covering;
}

}  // namespace tindral
