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

/// Reads config.txt: an empty list when it is missing, "Failed to read config.txt" when it
/// cannot be read or is not UTF-8.
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
