#include "platform/system_folders.h"

namespace tindral::platform {

// Windows' system folders differ from one installation to the next and are named by the
// environment (SystemRoot, ProgramFiles, ProgramFiles(x86), ProgramData), which the
// protected-path rules read themselves.
std::span<const std::string_view> protected_system_folders() { return {}; }

}  // namespace tindral::platform
