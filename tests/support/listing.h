#pragma once

#include <vector>

#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::test_support {

/// Every entry of a folder's listing, in listing order, through the file system under test; a
/// listing that cannot be opened or breaks off is a test failure, and what was read stays.
std::vector<platform::DirEntry> list_folder(platform::FileSystem& fs, const Path& folder);

}  // namespace tindral::test_support
