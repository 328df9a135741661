#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// Minutes between periodic rescans when settings.txt names none, or names 0.
inline constexpr std::uint32_t kDefaultIntervalMinutes = 15;

/// The tunable values of settings.txt. `interval`, `watch` and `icon` change what the service does.
struct Settings {
  std::string color;
  std::string lang;
  /// Minutes between periodic rescans; 0 stands for the default.
  std::uint32_t interval = 0;
  /// The icon every desktop.ini names, as the machines that show the folders reach it (a file
  /// server's clients: \\server\share\folder.ico); empty for folder.ico in the data folder.
  std::string icon;
  /// Whether folders are updated as they change ("watch=on", the default) or only by the
  /// periodic rescans ("watch=off").
  bool watch = true;
};

/// Colour "green", interval 15, and language "da" when the user's interface language is Danish,
/// otherwise "en".
Settings default_settings();

/// The settings that the bytes of settings.txt give: the defaults, each valid key=value line
/// overriding them (the last valid one wins); "stream did not contain valid UTF-8" when they
/// are not UTF-8.
Result<Settings> parse_settings(std::string_view bytes);

/// Reads settings.txt: the defaults when it is missing, parse_settings of its bytes otherwise,
/// "Failed to read settings.txt" when it cannot be read, is larger than 1 MiB or is not UTF-8.
Result<Settings> load_settings(platform::FileSystem& fs, const Path& settings_path);

/// folder.ico in `data_folder` as desktop.ini names it: as text, every "/" turned into "\\".
std::string data_folder_icon_path(const Path& data_folder);

/// The icon path for desktop.ini: settings.txt's icon, taken as written, when it sets one (an
/// unreadable file sets none); otherwise data_folder_icon_path.
std::string configured_icon_path(platform::FileSystem& fs, const Path& data_folder);

}  // namespace tindral
