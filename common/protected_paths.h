#pragma once

#include <string>
#include <string_view>

#include "platform/path.h"

namespace tindral {

/// The system locations a walk must not decorate, lower-cased (empty when not set).
struct ProtectedDirs {
  std::string system_root;
  std::string program_files;
  std::string program_files_x86;
  std::string program_data;
};

/// ProtectedDirs from the environment variables SystemRoot, ProgramFiles, ProgramFiles(x86) and
/// ProgramData.
ProtectedDirs protected_dirs_from_environment();

/// The rules on the path's text alone, with `separator` in the fixed fragments ("\system32\",
/// "\syswow64\", "\tindral" on Windows). `path_text` is lower-cased here; `dirs` must be already.
bool is_protected_text(std::string_view path_text, const ProtectedDirs& dirs, char separator);

/// True when the path lies in a protected system location. The environment is read once per
/// process, on the first call.
bool is_protected_path(const Path& path);

}  // namespace tindral
