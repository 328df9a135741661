#pragma once

#include <memory>

#include "desktop_ini.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::test_support {

/// The folder at `path` opened through `fs` (null and a test failure when it cannot be opened).
std::unique_ptr<platform::Folder> open_folder_at(platform::FileSystem& fs, const Path& path);

/// The desktop.ini writer on the folder at `path`, opened the way a walk opens a root.
Result<bool> ensure_desktop_ini_at(platform::FileSystem& fs, const Path& folder,
                                   ListedDesktopIni listed = ListedDesktopIni::Unknown);
Result<Removal> remove_desktop_ini_at(platform::FileSystem& fs, const Path& folder);

}  // namespace tindral::test_support
