#pragma once

#include "error.h"
#include "platform/path.h"

namespace tindral::platform {

/// The running program's own file.
Result<Path> current_executable();

/// `path` made absolute against the process's current folder, without resolving links; an
/// absolute path is returned as it stands.
Result<Path> absolute_path(const Path& path);

}  // namespace tindral::platform
