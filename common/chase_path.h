#pragma once

#include <memory>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// Where a walk along a path, one name at a time, ended (see chase_path).
struct ChasedPath {
  enum class End {
    /// The path names a folder, which `folder` holds open.
    Folder,
    /// The path names something that is not a folder.
    NotFolder,
    /// Nothing is there, or what is there could not be looked at or judged (`error` says which).
    NotFound,
    /// A link on the way belongs to an account that is no administrator's, lies in a folder of
    /// such an account, or names no path (the links of /proc).
    LinkOfAnotherAccount,
    /// The way leads from a folder of one account into a folder of another, as a bind mount or
    /// a folder another account made inside hers can.
    FolderOfAnotherAccount,
  };
  End end = End::NotFound;
  std::unique_ptr<platform::Folder> folder;
  Error error = Error("the path was not walked");
  /// Where a refused walk stopped: the link or the folder, spelled along the way the walk went
  /// (every link before it replaced by its target).
  Path stopped_at;
};

/// Opens the folder that an absolute, canonical path names, without trusting the path: from
/// the folder it starts at ("/", "C:\", "\\server\share\"), each name is opened as itself
/// inside the folder opened before it. A link is followed, by its target as stored, only when
/// an administrator owns both the link and the folder that holds it; at most 32 links are
/// followed. The walk never steps from a folder of one ordinary account into a folder of
/// another, however far apart the two lie on the way.
ChasedPath chase_path(platform::FileSystem& fs, const Path& path);

}  // namespace tindral
