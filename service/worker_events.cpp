#include "worker_events.h"

#include <utility>

namespace tindral {
namespace {

// The beginnings of the worker's messages that tell of something an administrator must look
// at: a scan, cleanup or update after changes that failed, a data folder that could not be secured
// (errors); a data folder that had to be repaired, a data file ignored, removed from it or replaced
// (warnings). The folders whose desktop.ini could not be changed, and the roots that were skipped,
// reach the event log as the scanner's own warnings, so the worker's copy of the first of those
// lines is not reported again.
constexpr std::pair<std::string_view, log::Level> kEventLevels[] = {
    {"Scan error: ", log::Level::Error},
    {"Cleanup error: ", log::Level::Error},
    {"Update error: ", log::Level::Error},
    {"Data folder could not be secured: ", log::Level::Error},
    {"Data folder was ", log::Level::Warn},
    {"Ignoring ", log::Level::Warn},
    {"Removed ", log::Level::Warn},
    {"Replaced folder.ico ", log::Level::Warn},
};

}  // namespace

std::optional<log::Level> worker_event_level(std::string_view message) {
  for (const auto& [beginning, level] : kEventLevels) {
    if (message.starts_with(beginning)) return level;
  }
  return std::nullopt;
}

}  // namespace tindral
