#pragma once

#include <optional>
#include <string>

namespace tindral {

/// The user at the machine's console.
struct InteractiveUser {
  std::string user_name;
  std::string profile_folder;
};

/// The console user with a profile folder named after them, or nothing.
std::optional<InteractiveUser> interactive_user();

}  // namespace tindral
