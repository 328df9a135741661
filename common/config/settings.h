#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// The tunable values of settings.txt. Only `interval` changes what the service does.
struct Settings {
  std::string color;
  std::string lang;
  /// Minutes between periodic rescans; 0 stands for the default.
  std::uint32_t interval = 0;
};

/// Colour "green", interval 15, and language "da" when the user's interface language is Danish,
/// otherwise "en".
Settings default_settings();

/// Reads settings.txt: the defaults when it is missing, each valid key=value line overriding
/// them (the last valid one wins), "Failed to read settings.txt" when it cannot be read or is
/// not UTF-8.
Result<Settings> load_settings(platform::FileSystem& fs, const Path& settings_path);

}  // namespace tindral
