// A root path made canonical in either platform's spelling and put to the protected test, once
// as a whole (a root) and once name by name (a walk down to it), which must agree.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "canonical_path.h"
#include "platform/system_folders.h"
#include "protected_paths.h"
#include "require.h"
#include "root_overlap.h"
#include "text.h"

using namespace tindral;
using fuzz::require;

namespace {

ProtectedDirs windows_dirs() {
  return ProtectedDirs{"c:\\windows", "c:\\program files", "c:\\program files (x86)",
                       "c:\\programdata"};
}

ProtectedDirs posix_dirs() {
  ProtectedDirs dirs{"", "", "", "/var/lib"};
  for (std::string_view folder : platform::protected_system_folders()) {
    dirs.system_folders.emplace_back(folder);
  }
  dirs.data_folder = "/var/lib/tindral";
  return dirs;
}

// The tests the walk makes below a root must give the answers the test of each whole path gives,
// on the way down and again on the way back up, where each folder's parent asks about the name
// of the deepest one (a sibling of that folder's, as a walk's later subfolders are).
void walk_down_agrees(const std::string& canonical, std::size_t root_size,
                      const ProtectedDirs& dirs, char separator) {
  std::string current = canonical.substr(0, root_size);
  if (is_protected_text(Path(current).display(), dirs, separator)) return;
  ProtectedPathWalk walk(Path(current).display(), dirs, separator);
  std::vector<std::string> entered{current};
  std::string_view rest = std::string_view(canonical).substr(root_size);
  std::string_view name;
  while (!rest.empty()) {
    const std::size_t end = rest.find(separator);
    name = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (current.back() != separator) current += separator;
    current += name;
    const bool child = walk.is_protected_child(name);
    require(child == is_protected_text(Path(current).display(), dirs, separator));
    if (child) break;
    walk.enter(name);
    entered.push_back(current);
  }
  for (entered.pop_back(); !entered.empty(); entered.pop_back()) {
    walk.leave();
    std::string sibling = entered.back();
    if (sibling.back() != separator) sibling += separator;
    sibling += name;
    require(walk.is_protected_child(name) ==
            is_protected_text(Path(sibling).display(), dirs, separator));
  }
}

// "/", "C:\", "\\server\share\": everything up to the separator that ends the root.
std::size_t root_size(const std::string& canonical, PathStyle style) {
  if (style == PathStyle::Posix) return 1;
  if (canonical[1] == ':') return 3;
  const std::size_t share_end = canonical.find('\\', canonical.find('\\', 2) + 1);
  return share_end + 1;
}

// A root is the same as itself (on Windows in any letter case), lies inside the root of its
// drive, share or "/", and is taken in by it in a scan, whichever is listed first.
void overlaps_agree(const std::string& canonical, std::size_t root_size, PathStyle style) {
  require(root_overlap(canonical, canonical, style) == RootOverlap::Same);
  if (style == PathStyle::Windows) {
    const CanonicalPath upper = canonical_path(text::to_upper_ordinal(canonical), style);
    if (upper.problem == CanonicalPath::Problem::None) {
      require(root_overlap(canonical, upper.text, style) == RootOverlap::Same);
    }
  }
  if (canonical.size() == root_size) return;
  const std::string top = canonical.substr(0, root_size);
  require(root_overlap(canonical, top, style) == RootOverlap::Inside);
  require(root_overlap(top, canonical, style) == RootOverlap::Encloses);
  const std::vector<std::string> roots = {canonical, top, canonical};
  const std::vector<std::optional<std::size_t>> covering = covering_roots(roots, style);
  require(covering.size() == 3 && covering[0] == 1u && !covering[1] && covering[2] == 1u);
}

void check(std::string_view bytes, PathStyle style, const ProtectedDirs& dirs) {
  const CanonicalPath canonical = canonical_path(bytes, style);
  if (canonical.problem != CanonicalPath::Problem::None) {
    require(canonical.text.empty());
    return;
  }
  const std::string& text = canonical.text;
  const char separator = style == PathStyle::Windows ? '\\' : '/';
  require(!text.empty() && text.find('\0') == std::string::npos);
  // Canonical once is canonical for good: no ".", "..", empty name or trailing separator is left.
  const CanonicalPath again = canonical_path(text, style);
  require(again.problem == CanonicalPath::Problem::None && again.text == text);
  const std::size_t root = root_size(text, style);
  require(root <= text.size() && text[root - 1] == separator);
  require(text.size() == root || text.back() != separator);
  walk_down_agrees(text, root, dirs, separator);
  overlaps_agree(text, root, style);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ProtectedDirs windows = windows_dirs();
  static const ProtectedDirs posix = posix_dirs();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check(bytes, PathStyle::Windows, windows);
  check(bytes, PathStyle::Posix, posix);
  return 0;
}
