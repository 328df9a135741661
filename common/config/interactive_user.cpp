#include "config/interactive_user.h"

#include <utility>

#include "config/root_paths.h"
#include "platform/path.h"
#include "platform/session.h"
#include "text.h"

namespace tindral {

namespace {

/// The folder a path names by its last component: trailing separators and "." components name
/// the same folder, so they are passed over; a root or a trailing ".." has no such name.
std::string last_component(std::string_view text) {
  Path path = Path::from_text(text);
  while (path.file_name() == ".") path = path.parent();
  const std::string_view name = path.file_name();
  return name == ".." ? std::string() : std::string(name);
}

SessionSource platform_session_source() {
  return SessionSource{platform::console_session_user, platform::profile_image_path_of,
                       platform::for_each_profile_image_path};
}

/// The expanded profile folder the system keeps for the account, or nothing.
std::optional<std::string> profile_of_account_in(const SessionSource& source,
                                                 const std::optional<std::string>& account) {
  if (!account) return std::nullopt;
  const std::optional<std::string> stored = source.profile_of_account(*account);
  if (!stored) return std::nullopt;
  std::string expanded = expand_env_refs(*stored);
  if (expanded.empty()) return std::nullopt;
  return expanded;
}

}  // namespace

bool profile_folder_matches(std::string_view profile_folder, std::string_view user_name) {
  const std::string folder_name = last_component(profile_folder);
  return !folder_name.empty() && text::ascii_iequals(folder_name, user_name);
}

std::optional<std::string> find_profile_folder_in(const SessionSource& source,
                                                  std::string_view user_name) {
  std::optional<std::string> found;
  source.for_each_profile([&](const std::string& stored) {
    std::string expanded = expand_env_refs(stored);
    if (!profile_folder_matches(expanded, user_name)) return false;
    found = std::move(expanded);
    return true;
  });
  return found;
}

// A folder's name says little about whose profile it is (ann.000, ann.CONTOSO, a renamed
// account, a local and a domain ann), so the account decides; the name is matched only where
// the account is unknown (no privilege to ask the session for it) or has no profile entry.
std::optional<InteractiveUser> interactive_user_from(const SessionSource& source) {
  std::optional<platform::ConsoleSessionUser> user = source.console_user();
  if (!user) return std::nullopt;
  std::optional<std::string> profile_folder = profile_of_account_in(source, user->account);
  if (!profile_folder) profile_folder = find_profile_folder_in(source, user->user_name);
  if (!profile_folder) return std::nullopt;
  return InteractiveUser{std::move(user->user_name), std::move(*profile_folder)};
}

// Nothing is cached: the person at the console may change between two scans.
std::optional<InteractiveUser> interactive_user() {
  return interactive_user_from(platform_session_source());
}

std::optional<std::string> console_user_name() {
  std::optional<platform::ConsoleSessionUser> user = platform::console_session_user();
  if (!user) return std::nullopt;
  return std::move(user->user_name);
}

std::optional<std::string> find_profile_folder(std::string_view user_name) {
  return find_profile_folder_in(platform_session_source(), user_name);
}

}  // namespace tindral
