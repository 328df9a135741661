#include "platform/shell_notify.h"

namespace tindral::platform {

// No desktop shell watches the folders of a Linux file server; its Windows clients read the
// folders again when they list them.
void notify_shell_folder_changed(const Path& /*folder*/) {}

}  // namespace tindral::platform
