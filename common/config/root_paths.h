#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/interactive_user.h"
#include "error.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The root folders read from config.txt, in file order, duplicates kept.
using RootPathList = std::vector<Path>;

/// How load_root_paths asks for the console user; the product passes interactive_user.
using InteractiveUserLookup = std::function<std::optional<InteractiveUser>()>;

/// Where %NAME% references are looked up: the service's own environment (platform::get_env),
/// or, for a program that reports what the service will do, the environment the service gets.
using EnvironmentLookup = std::function<platform::EnvValue(std::string_view)>;

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
  /// The way to the folder passes through a link that an account other than the
  /// administrators' controls (owns it or the folder it lies in), or one that names no path.
  LinkOfAnotherAccount,
  /// The way to the folder passes from a folder of one account into a folder of another.
  FolderOfAnotherAccount,
};

/// The scanner's warning for a root that is skipped, naming it: "Root path not found,
/// skipping: {}", "Root path is a protected system directory, skipping: {}", "Root path is not
/// valid, skipping: {}", "Root path is not absolute, skipping: {}", "Root path has an
/// unresolved placeholder, skipping: {}", "Root path passes through a link that another account
/// controls, skipping: {}", "Root path passes into a folder that another account owns,
/// skipping: {}". A NUL in `shown` is shown as U+FFFD.
std::string skipped_root_message(RootRefusal why, std::string_view shown);

/// Logs skipped_root_message as a warning of the scanner.
void warn_skipped_root(RootRefusal why, std::string_view shown);

/// The scanner's warning for a root that the walk of another root takes in (root_overlap):
/// "Root path is already listed as {other}, skipping: {root}" for the same folder listed again,
/// "Root path lies inside {other}, skipping: {root}" for a folder below another root.
std::string covered_root_message(std::string_view root, std::string_view other, bool same);

/// One root line of config.txt with its placeholders filled in.
struct RootEntry {
  /// The line after expansion, as the warnings show it.
  std::string text;
  /// NotValid, NotAbsolute or UnresolvedPlaceholder when the line names no root.
  std::optional<RootRefusal> refusal;
  /// The absolute, canonical path of the root when there is no refusal.
  Path path;
  /// The name of a %NAME% reference that the environment does not have, where the expansion
  /// stopped and left the rest of the line as written; empty when every reference resolved.
  std::string missing_variable;
};

/// One root line of config.txt (trimmed, not a comment) as the service reads it: the console
/// user's placeholders filled in when the user resolves, then every %NAME% expanded from `env`.
RootEntry root_entry(std::string_view line, const InteractiveUserLookup& lookup = interactive_user,
                     const EnvironmentLookup& env = platform::get_env);

/// The root lines of config.txt in file order (comments and blank lines left out), or the
/// error "stream did not contain valid UTF-8". Looks nothing up on disk.
Result<std::vector<RootEntry>> parse_root_entries(std::string_view bytes,
                                                  const InteractiveUserLookup& lookup,
                                                  const EnvironmentLookup& env = platform::get_env);

/// What a root's path names, as reading config.txt asks (links followed): only a folder is kept.
enum class RootPresence { Folder, Missing, Unreachable, NotFolder };
RootPresence root_presence(platform::FileSystem& fs, const Path& root);

/// The roots of config.txt as a scan or cleanup reads them.
struct ConfigRoots {
  /// The lines that name existing folders, in file order.
  std::vector<RootEntry> roots;
  /// The warnings (skipped_root_message) for the lines that name no root, in file order.
  std::vector<std::string> skipped;
};

/// load_root_paths without logging: the warnings are returned.
Result<ConfigRoots> read_config_roots(platform::FileSystem& fs, const Path& config_path,
                                      const InteractiveUserLookup& lookup = interactive_user);

/// Reads config.txt: an empty list when it is missing, "Failed to read config.txt" when it
/// cannot be read, is larger than 1 MiB or is not UTF-8. Lines that name no root are skipped
/// with their warning; lines that name no existing folder are dropped silently. The paths are
/// absolute and canonical.
Result<RootPathList> load_root_paths(platform::FileSystem& fs, const Path& config_path,
                                     const InteractiveUserLookup& lookup = interactive_user);

/// The entries of config.txt's text: its lines trimmed, without empty lines and comments, in
/// order.
std::vector<std::string_view> config_entries(std::string_view config_text);

/// A text with its %NAME% references expanded.
struct EnvExpansion {
  std::string text;
  /// The name at which the expansion stopped because `env` does not have it (empty when it did
  /// not stop there).
  std::string missing_variable;
};

/// Replaces %NAME% references with values from `env`, restarting from the beginning after each
/// substitution and stopping at the first reference that does not resolve.
EnvExpansion expand_env_refs_from(std::string_view text, const EnvironmentLookup& env);

/// The same from the process environment.
std::string expand_env_refs(std::string_view text);

/// Replaces the first "%name%" (letter case ignored) in `text` with `value`.
void replace_placeholder(std::string& text, std::string_view name, std::string_view value);

}  // namespace tindral
