#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tindral {

/// The service's line about where a root's changes come from: "Watching {root} for changes:
/// {source}".
std::string watching_message(std::string_view root, std::string_view source);

/// A root and its source, as a watching_message names them.
struct WatchedRootSource {
  std::string root;
  std::string source;
};

/// The root and source of a watching_message; nothing for any other message.
std::optional<WatchedRootSource> parse_watching_message(std::string_view message);

}  // namespace tindral
