#include "platform/shell_notify.h"

#include <string>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"

// After windows_api.h, which includes <windows.h> with the configuration shlobj.h needs.
#include <shlobj.h>

namespace tindral::platform {

// SHCNE_UPDATEDIR makes the windows that show the folder list it again, and with it read the
// desktop.ini of each subfolder; SHCNE_UPDATEITEM does the same for the windows that show the
// folder itself as an item (its parent). Both only post to the shell: FLUSHNOWAIT hands the
// notifications over without waiting for a window that does not answer.
void notify_shell_folder_changed(const Path& folder) {
  const std::optional<std::wstring> wide = win32::wtf8_to_wide(folder.bytes());
  if (!wide) return;
  SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, wide->c_str(), nullptr);
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, wide->c_str(), nullptr);
}

}  // namespace tindral::platform
