#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/session.h"

namespace tindral {

/// The user at the machine's console.
struct InteractiveUser {
  std::string user_name;
  std::string profile_folder;
};

/// The console user with their profile folder, or nothing: the profile the system keeps for the
/// user's account, or, where that is not known, the first profile folder named after the user.
std::optional<InteractiveUser> interactive_user();

/// The user name of the session at the machine's console, or nothing when nobody is logged on
/// there.
std::optional<std::string> console_user_name();

/// The expanded profile folder of the first profile named after `user_name`, or nothing.
std::optional<std::string> find_profile_folder(std::string_view user_name);

/// True when the profile folder's last component is the user name, ASCII letter case ignored.
/// A trailing separator does not hide the last component; a root or a trailing ".." has none.
bool profile_folder_matches(std::string_view profile_folder, std::string_view user_name);

/// Where a lookup gets its facts; the product asks the platform (see platform/session.h),
/// tests supply their own.
struct SessionSource {
  /// The console session's user, or nothing.
  std::function<std::optional<platform::ConsoleSessionUser>()> console_user;
  /// The stored profile folder of an account, or nothing.
  std::function<std::optional<std::string>(std::string_view account)> profile_of_account;
  /// Hands each stored profile folder text to `visit`, in the system's order, until it returns
  /// true.
  std::function<void(const std::function<bool(const std::string&)>& visit)> for_each_profile;
};

/// find_profile_folder over the profiles of `source`.
std::optional<std::string> find_profile_folder_in(const SessionSource& source,
                                                  std::string_view user_name);

/// interactive_user over `source`: the profiles are not consulted when nobody is logged on, and
/// not walked when the account names one.
std::optional<InteractiveUser> interactive_user_from(const SessionSource& source);

}  // namespace tindral
