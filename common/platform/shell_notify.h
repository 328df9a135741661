#pragma once

#include "platform/path.h"

namespace tindral::platform {

/// Tells the desktop shell of this session that a folder and the items listed in it changed, so
/// that its open windows show the folder icons anew. Windows: SHChangeNotify; natively there is
/// no shell to tell (clients of a file share look for themselves). Never fails.
void notify_shell_folder_changed(const Path& folder);

}  // namespace tindral::platform
