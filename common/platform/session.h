#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tindral::platform {

/// The user name (without domain) of the session attached to the machine's physical console,
/// or nothing when no session is attached or nobody is logged on in it.
std::optional<std::string> console_session_user_name();

/// Calls `visit` with each user profile's folder exactly as the system stores it (environment
/// references not expanded), in the system's enumeration order, until `visit` returns true.
/// Profiles that cannot be read are passed over.
void for_each_profile_image_path(const std::function<bool(const std::string&)>& visit);

}  // namespace tindral::platform
