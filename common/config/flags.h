#pragma once

#include <string_view>

namespace tindral {

/// The files in the data folder through which administrators steer the service: tindralctl (or
/// anybody with an administrator's rights) creates them, the worker tests for them at every pass
/// and serves them in this order of precedence, at most one per pass. Only their presence counts;
/// their content is never read, and one that another account could have written is ignored.
enum class Flag {
  /// The service deletes it and stops.
  Stop,
  /// The service deletes it, creates paused.flag and removes every desktop.ini it wrote.
  Cleanup,
  /// No scan runs while it is there.
  Paused,
  /// The service deletes it and scans at once.
  Rescan,
};

inline constexpr std::string_view kStopFlagName = "stop.flag";
inline constexpr std::string_view kCleanupFlagName = "cleanup.flag";
inline constexpr std::string_view kPausedFlagName = "paused.flag";
inline constexpr std::string_view kRescanFlagName = "rescan.flag";

/// The name of the flag's file in the data folder.
constexpr std::string_view flag_file_name(Flag flag) {
  switch (flag) {
    case Flag::Stop:
      return kStopFlagName;
    case Flag::Cleanup:
      return kCleanupFlagName;
    case Flag::Paused:
      return kPausedFlagName;
    case Flag::Rescan:
      return kRescanFlagName;
  }
  return kStopFlagName;
}

}  // namespace tindral
