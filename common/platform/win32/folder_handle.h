#pragma once

#include "platform/file_system.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

/// The handle of a folder this file system opened, still owned by `folder`, for the Windows
/// layer's own calls on the very folder (a watch of it, the volume it lies on); null for a
/// Folder of any other kind.
HANDLE folder_handle(Folder& folder);

}  // namespace tindral::platform::win32
