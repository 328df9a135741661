#pragma once

#include "error.h"
#include "platform/file_system.h"
#include "platform/win32/windows_api.h"

namespace tindral::platform::win32 {

/// The handle of a folder this file system opened, still owned by `folder`, for the Windows
/// layer's own calls on the very folder (a watch of it, the volume it lies on); null for a
/// Folder of any other kind.
HANDLE folder_handle(Folder& folder);

/// The file `file` has open, opened once more through it (never by a name) with `access`, for
/// overlapped calls; like every open of the layer's, it does not wait for another program's
/// oplock.
Result<ScopedFileHandle> reopen_for_overlapped_io(HANDLE file, ACCESS_MASK access);

}  // namespace tindral::platform::win32
