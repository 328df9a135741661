#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/interactive_user.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The root folders read from config.txt, in file order, duplicates kept.
using RootPathList = std::vector<Path>;

/// How load_root_paths asks for the console user; the product passes interactive_user.
using InteractiveUserLookup = std::function<std::optional<InteractiveUser>()>;

/// Why a root of config.txt is not walked.
enum class RootRefusal {
  /// The folder cannot be found (or opened to tell where it is).
  NotFound,
  /// The path, or where the folder really is, lies in a protected system location.
  Protected,
  /// The line holds a NUL, or a spelling that names no folder tree (see CanonicalPath).
  NotValid,
  /// The line is relative, so it would name a different folder for each working folder.
  NotAbsolute,
  /// %USERNAME% or %USERPROFILE% stayed in the line: neither the console user nor the
  /// environment filled it in.
  UnresolvedPlaceholder,
};

/// Logs the scanner's warning for a root that is skipped, naming it: "Root path not found,
/// skipping: {}", "Root path is a protected system directory, skipping: {}", "Root path is not
/// valid, skipping: {}", "Root path is not absolute, skipping: {}", "Root path has an
/// unresolved placeholder, skipping: {}". A NUL in `shown` is shown as U+FFFD.
void warn_skipped_root(RootRefusal why, std::string_view shown);

/// One root line of config.txt with its placeholders filled in.
struct RootEntry {
  /// The line after expansion, as the warnings show it.
  std::string text;
  /// NotValid, NotAbsolute or UnresolvedPlaceholder when the line names no root.
  std::optional<RootRefusal> refusal;
  /// The absolute, canonical path of the root when there is no refusal.
  Path path;
};

/// The root lines of config.txt in file order (comments and blank lines left out), or the
/// error "stream did not contain valid UTF-8". Looks nothing up on disk.
Result<std::vector<RootEntry>> parse_root_entries(std::string_view bytes,
                                                  const InteractiveUserLookup& lookup);

/// Reads config.txt: an empty list when it is missing, "Failed to read config.txt" when it
/// cannot be read, is larger than 1 MiB or is not UTF-8. Lines that name no root are skipped
/// with their warning; lines that name no existing folder are dropped silently. The paths are
/// absolute and canonical.
Result<RootPathList> load_root_paths(platform::FileSystem& fs, const Path& config_path,
                                     const InteractiveUserLookup& lookup = interactive_user);

/// The entries of config.txt's text: its lines trimmed, without empty lines and comments, in
/// order.
std::vector<std::string_view> config_entries(std::string_view config_text);

/// An entry as the service reads it: the console user's placeholders filled in when the user
/// resolves, then every environment reference expanded.
std::string expand_root_entry(std::string_view entry,
                              const InteractiveUserLookup& lookup = interactive_user);

/// Replaces %NAME% references with environment values, restarting from the beginning after each
/// substitution and stopping at the first reference that does not resolve.
std::string expand_env_refs(std::string_view text);

/// Replaces the first "%name%" (letter case ignored) in `text` with `value`.
void replace_placeholder(std::string& text, std::string_view name, std::string_view value);

}  // namespace tindral
