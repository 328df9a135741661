#pragma once

#include <cstddef>
#include <string_view>

#include "platform/environment.h"
#include "platform/path.h"

namespace tindral {

/// The data folder's own name, below the program-data folder.
inline constexpr std::string_view kDataFolderName = "Tindral";

/// Names of the files in the data folder; the flags are named in config/flags.h.
inline constexpr std::string_view kConfigFileName = "config.txt";
inline constexpr std::string_view kSettingsFileName = "settings.txt";
inline constexpr std::string_view kServiceLogFileName = "service.log";
inline constexpr std::string_view kIconFileName = "folder.ico";

/// The most of service.log that is read. The service's own 500 lines come to some tens of KiB,
/// so a file beyond this was made by somebody else; its first MiB stands for all of it, and the
/// service's next write cuts the file down to the last 500 lines of that.
inline constexpr std::size_t kMaxServiceLogBytes = 1024 * 1024;

/// The most of an icon that is copied into the data folder; icons are some hundreds of KiB.
inline constexpr std::size_t kMaxIconBytes = 16 * 1024 * 1024;

/// The data folder: the ProgramData variable (or the platform's default base when it is absent
/// or not valid Unicode) joined with kDataFolderName. Creates and checks nothing.
Path data_folder();

/// data_folder for a given lookup of the ProgramData variable.
Path data_folder_for(const platform::EnvValue& program_data);

}  // namespace tindral
