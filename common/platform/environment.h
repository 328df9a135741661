#pragma once

#include <string>
#include <string_view>

namespace tindral::platform {

/// The outcome of looking up an environment variable.
struct EnvValue {
  enum class State { Absent, NotUnicode, Present };
  State state = State::Absent;
  std::string value;  ///< UTF-8; set only when Present
  bool present() const { return state == State::Present; }
};

/// Looks up a variable of the process environment (Windows compares names without case).
EnvValue get_env(std::string_view name);

/// Sets a variable of the process environment; false when the platform refuses.
bool set_env(std::string_view name, std::string_view value);

/// Removes a variable of the process environment; false when the platform refuses.
bool unset_env(std::string_view name);

/// The program-data base used when the ProgramData variable is absent or not valid Unicode.
#if defined(_WIN32)
inline constexpr std::string_view kDefaultProgramDataBase = "C:\\ProgramData";
#else
inline constexpr std::string_view kDefaultProgramDataBase = "/var/lib";
#endif

}  // namespace tindral::platform
