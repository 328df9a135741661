#pragma once

#include <memory>
#include <optional>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// A root of config.txt, opened for a walk or refused.
struct OpenedRoot {
  /// Set when the root is not walked.
  std::optional<RootRefusal> refusal;
  /// The root's folder; the error of opening it when the root exists but is no folder (the walk
  /// counts it and finds nothing).
  Result<std::unique_ptr<platform::Folder>> folder = Error("the root was not opened");
  /// Where the root really is, for the tests of its subfolders: the opened folder's final path,
  /// canonical (the root itself when it could not be opened).
  Path location;
};

/// Opens a root to walk. Refused: a root that does not exist (NotFound); one whose path is
/// protected, tested before anything is opened, or whose opened folder lies in a protected
/// location, as the folder a link or a junction leads to may (Protected); one whose opened
/// folder cannot tell where it is (NotValid).
OpenedRoot open_root(platform::FileSystem& fs, const Path& root);

}  // namespace tindral
