#include "config/root_paths.h"

#include "config/trusted_files.h"

#include <cstddef>
#include <utility>

#include "config/trusted_files.h"
#include "platform/environment.h"
#include "text.h"

namespace tindral {

namespace {

constexpr std::string_view kUserProfilePlaceholder = "USERPROFILE";
constexpr std::string_view kUserNamePlaceholder = "USERNAME";

// An environment value may name itself (A=%A%) or a variable that names it back, and the
// restart-from-the-beginning expansion would then never end. Both bounds lie far beyond what
// any real text needs: no path on either platform comes near 128 KiB, and a text with ten
// thousand references is no root path.
constexpr int kMaxSubstitutions = 10'000;
constexpr std::size_t kMaxExpandedBytes = 128 * 1024;

/// True when the line names the console user's folders, whatever the letter case.
bool holds_user_placeholder(std::string_view line) {
  const std::string upper = text::to_upper(line);
  return upper.find("%USERNAME%") != std::string::npos ||
         upper.find("%USERPROFILE%") != std::string::npos;
}

bool is_comment(std::string_view line) { return line.front() == '#'; }

/// Links are followed, so a link to a folder counts as a folder.
bool is_existing_folder(platform::FileSystem& fs, const Path& path) {
  Result<platform::FileType> type = fs.file_type(path);
  return type.ok() && *type == platform::FileType::Directory;
}

RootPathList parse_root_paths(platform::FileSystem& fs, std::string_view config_text,
                              const InteractiveUserLookup& lookup) {
  RootPathList roots;
  for (std::string_view entry : config_entries(config_text)) {
    Path root = Path::from_text(expand_root_entry(entry, lookup));
    if (is_existing_folder(fs, root)) roots.push_back(std::move(root));
  }
  return roots;
}

}  // namespace

Result<RootPathList> load_root_paths(platform::FileSystem& fs, const Path& config_path,
                                     const InteractiveUserLookup& lookup) {
  // A missing file, or one whose existence cannot even be tested, is an empty configuration; so
  // is one that an administrator cannot have written.
  if (!is_trusted_data_file(fs, config_path)) return RootPathList{};
  Result<std::string> bytes = fs.read_file(config_path);
  if (!bytes.ok()) return bytes.error().wrap("Failed to read config.txt");
  Result<std::string> config_text = text::decode_utf8(std::move(bytes).value());
  if (!config_text.ok()) return config_text.error().wrap("Failed to read config.txt");
  return parse_root_paths(fs, *config_text, lookup);
}

std::vector<std::string_view> config_entries(std::string_view config_text) {
  std::vector<std::string_view> entries;
  for (std::string_view line : text::split_lines(config_text)) {
    line = text::trim(line);
    if (!line.empty() && !is_comment(line)) entries.push_back(line);
  }
  return entries;
}

std::string expand_root_entry(std::string_view entry, const InteractiveUserLookup& lookup) {
  std::string expanded(entry);
  if (holds_user_placeholder(entry)) {
    if (std::optional<InteractiveUser> user = lookup()) {
      replace_placeholder(expanded, kUserProfilePlaceholder, user->profile_folder);
      replace_placeholder(expanded, kUserNamePlaceholder, user->user_name);
    }
  }
  return expand_env_refs(expanded);
}

std::string expand_env_refs(std::string_view text) {
  std::string expanded(text);
  // Nothing before the first "%" ever changes again, so each search for it starts there.
  std::size_t first_unexpanded = 0;
  for (int substitutions = 0;
       substitutions < kMaxSubstitutions && expanded.size() <= kMaxExpandedBytes; ++substitutions) {
    const std::size_t open = expanded.find('%', first_unexpanded);
    if (open == std::string::npos) break;
    const std::size_t close = expanded.find('%', open + 1);
    if (close == std::string::npos) break;
    const std::string_view name(expanded.data() + open + 1, close - open - 1);
    if (name.empty()) break;
    const platform::EnvValue value = platform::get_env(name);
    if (!value.present()) break;
    expanded.replace(open, close - open + 1, value.value);
    first_unexpanded = open;
  }
  return expanded;
}

void replace_placeholder(std::string& text, std::string_view name, std::string_view value) {
  std::string pattern;
  pattern.reserve(name.size() + 2);
  pattern.append(1, '%').append(name).append(1, '%');
  const std::size_t at = text::ascii_ifind(text, pattern);
  if (at != std::string_view::npos) text.replace(at, pattern.size(), value);
}

}  // namespace tindral
