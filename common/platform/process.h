#pragma once

#include <string>

#include "error.h"
#include "platform/path.h"

namespace tindral::platform {

/// The running program's own file.
Result<Path> current_executable();

/// `path` made absolute against the process's current folder, without resolving links; an
/// absolute path is returned as it stands.
Result<Path> absolute_path(const Path& path);

/// The version of Tindral's program `program` ("0.1.0"): on Windows its version resource (the
/// file version, a fourth part only when it is not 0), natively what its `--version` prints.
Result<std::string> program_version(const Path& program);

}  // namespace tindral::platform
