#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tindral::platform {

/// The user logged on at the machine's physical console.
struct ConsoleSessionUser {
  /// The user name (without domain) the session reports.
  std::string user_name;
  /// The account that names the user's profile, in text form, where the system tells it
  /// (Windows: the security identifier of the session's token; POSIX: the uid), or nothing.
  std::optional<std::string> account;
};

/// The user of the session attached to the machine's physical console, or nothing when no
/// session is attached or nobody is logged on in it.
std::optional<ConsoleSessionUser> console_session_user();

/// The profile folder the system keeps for `account` (a ConsoleSessionUser::account) exactly as
/// it stores it, environment references not expanded (Windows: ProfileImagePath of the
/// ProfileList entry named by the security identifier; POSIX: the home folder of the account
/// database's entry for the uid), or nothing when there is none or it cannot be read.
std::optional<std::string> profile_image_path_of(std::string_view account);

/// Calls `visit` with each user profile's folder exactly as the system stores it (environment
/// references not expanded), in the system's enumeration order, until `visit` returns true.
/// Profiles that cannot be read are passed over.
void for_each_profile_image_path(const std::function<bool(const std::string&)>& visit);

}  // namespace tindral::platform
