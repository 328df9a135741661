#include "watching_message.h"

namespace tindral {

namespace {

constexpr std::string_view kPrefix = "Watching ";
// The last one counts: a root's own name may hold these words, a source's never does.
constexpr std::string_view kSeparator = " for changes: ";

}  // namespace

std::string watching_message(std::string_view root, std::string_view source) {
  return std::string(kPrefix) + std::string(root) + std::string(kSeparator) + std::string(source);
}

std::optional<WatchedRootSource> parse_watching_message(std::string_view message) {
  if (!message.starts_with(kPrefix)) return std::nullopt;
  const std::size_t separator = message.rfind(kSeparator);
  if (separator == std::string_view::npos || separator < kPrefix.size()) return std::nullopt;
  return WatchedRootSource{std::string(message.substr(kPrefix.size(), separator - kPrefix.size())),
                           std::string(message.substr(separator + kSeparator.size()))};
}

}  // namespace tindral
