#include "config/root_paths.h"

#include <cstddef>
#include <utility>

#include "canonical_path.h"
#include "config/config_file.h"
#include "log.h"
#include "log_targets.h"
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

// A placeholder that is still there was filled in by nobody and would otherwise pass for a
// folder's name. A NUL, which would end the path where the kernel reads it while the tests of
// the service read on, makes the path not valid.
RootEntry classify_entry(EnvExpansion expanded) {
  RootEntry entry;
  entry.text = std::move(expanded.text);
  entry.missing_variable = std::move(expanded.missing_variable);
  if (holds_user_placeholder(entry.text)) {
    entry.refusal = RootRefusal::UnresolvedPlaceholder;
  } else {
    CanonicalPath canonical = canonical_path(entry.text, kPlatformPathStyle);
    if (canonical.problem == CanonicalPath::Problem::NotValid) {
      entry.refusal = RootRefusal::NotValid;
    } else if (canonical.problem == CanonicalPath::Problem::NotAbsolute) {
      entry.refusal = RootRefusal::NotAbsolute;
    } else {
      entry.path = Path(std::move(canonical.text));
    }
  }
  return entry;
}

std::string_view refusal_text(RootRefusal why) {
  switch (why) {
    case RootRefusal::NotFound:
      return "Root path not found, skipping: ";
    case RootRefusal::Protected:
      return "Root path is a protected system directory, skipping: ";
    case RootRefusal::NotValid:
      return "Root path is not valid, skipping: ";
    case RootRefusal::NotAbsolute:
      return "Root path is not absolute, skipping: ";
    case RootRefusal::UnresolvedPlaceholder:
      return "Root path has an unresolved placeholder, skipping: ";
    case RootRefusal::LinkOfAnotherAccount:
      return "Root path passes through a link that another account controls, skipping: ";
    case RootRefusal::FolderOfAnotherAccount:
      return "Root path passes into a folder that another account owns, skipping: ";
  }
  return "Root path skipped: ";  // not reached: every refusal has its text above
}

// The console user's placeholders first, so that %USERPROFILE% names the user's folder rather
// than the service account's.
EnvExpansion expand_root_line(std::string_view line, const InteractiveUserLookup& lookup,
                              const EnvironmentLookup& env) {
  std::string expanded(line);
  if (holds_user_placeholder(line)) {
    if (std::optional<InteractiveUser> user = lookup()) {
      replace_placeholder(expanded, kUserProfilePlaceholder, user->profile_folder);
      replace_placeholder(expanded, kUserNamePlaceholder, user->user_name);
    }
  }
  return expand_env_refs_from(expanded, env);
}

}  // namespace

std::string skipped_root_message(RootRefusal why, std::string_view shown) {
  std::string message(refusal_text(why));
  for (char c : shown) {
    if (c == '\0') {
      message += "\xEF\xBF\xBD";
    } else {
      message += c;
    }
  }
  return message;
}

void warn_skipped_root(RootRefusal why, std::string_view shown) {
  log::warn(log::kTargetScanner, skipped_root_message(why, shown));
}

std::string covered_root_message(std::string_view root, std::string_view other, bool same) {
  std::string message(same ? "Root path is already listed as " : "Root path lies inside ");
  message.append(other).append(", skipping: ").append(root);
  return message;
}

RootEntry root_entry(std::string_view line, const InteractiveUserLookup& lookup,
                     const EnvironmentLookup& env) {
  return classify_entry(expand_root_line(line, lookup, env));
}

Result<std::vector<RootEntry>> parse_root_entries(std::string_view bytes,
                                                  const InteractiveUserLookup& lookup,
                                                  const EnvironmentLookup& env) {
  Result<std::string> config_text = text::decode_utf8(std::string(bytes));
  if (!config_text) return std::move(config_text).error();
  std::vector<RootEntry> entries;
  for (std::string_view line : config_entries(*config_text)) {
    entries.push_back(root_entry(line, lookup, env));
  }
  return entries;
}

RootPresence root_presence(platform::FileSystem& fs, const Path& root) {
  Result<platform::FileType> type = fs.file_type(root);
  if (!type) return type.error().is_not_found() ? RootPresence::Missing : RootPresence::Unreachable;
  return *type == platform::FileType::Directory ? RootPresence::Folder : RootPresence::NotFolder;
}

Result<ConfigRoots> read_config_roots(platform::FileSystem& fs, const Path& config_path,
                                      const InteractiveUserLookup& lookup) {
  // A missing file is an empty configuration; so is one that an administrator cannot have
  // written, or of which nobody can tell.
  Result<ConfigFileRead> file = read_config_file(fs, config_path);
  if (!file) return file.error().wrap("Failed to read config.txt");
  if (!file->bytes) return ConfigRoots{};
  Result<std::vector<RootEntry>> entries = parse_root_entries(*file->bytes, lookup);
  if (!entries) return entries.error().wrap("Failed to read config.txt");
  ConfigRoots config;
  for (RootEntry& entry : *entries) {
    if (entry.refusal) {
      config.skipped.push_back(skipped_root_message(*entry.refusal, entry.text));
    } else if (root_presence(fs, entry.path) == RootPresence::Folder) {
      config.roots.push_back(std::move(entry));
    }
  }
  return config;
}

Result<RootPathList> load_root_paths(platform::FileSystem& fs, const Path& config_path,
                                     const InteractiveUserLookup& lookup) {
  Result<ConfigRoots> config = read_config_roots(fs, config_path, lookup);
  if (!config) return std::move(config).error();
  for (const std::string& warning : config->skipped) log::warn(log::kTargetScanner, warning);
  RootPathList roots;
  for (RootEntry& entry : config->roots) roots.push_back(std::move(entry.path));
  return roots;
}

std::vector<std::string_view> config_entries(std::string_view config_text) {
  std::vector<std::string_view> entries;
  for (std::string_view line : text::split_lines(config_text)) {
    line = text::trim(line);
    if (!line.empty() && !is_comment(line)) entries.push_back(line);
  }
  return entries;
}

EnvExpansion expand_env_refs_from(std::string_view text, const EnvironmentLookup& env) {
  EnvExpansion expansion{std::string(text), {}};
  std::string& expanded = expansion.text;
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
    const platform::EnvValue value = env(name);
    if (!value.present()) {
      expansion.missing_variable = name;
      break;
    }
    expanded.replace(open, close - open + 1, value.value);
    first_unexpanded = open;
  }
  return expansion;
}

std::string expand_env_refs(std::string_view text) {
  return expand_env_refs_from(text, platform::get_env).text;
}

void replace_placeholder(std::string& text, std::string_view name, std::string_view value) {
  std::string pattern;
  pattern.reserve(name.size() + 2);
  pattern.append(1, '%').append(name).append(1, '%');
  const std::size_t at = text::ascii_ifind(text, pattern);
  if (at != std::string_view::npos) text.replace(at, pattern.size(), value);
}

}  // namespace tindral
