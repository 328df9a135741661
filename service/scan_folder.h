#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"
#include "tree_walk.h"
#include "walk_failures.h"

namespace tindral {

/// What the walk did below one folder, the folder itself included.
struct FolderScanResult {
  std::uint64_t folders = 0;
  std::uint64_t ini_written = 0;
  std::uint64_t ini_removed = 0;
  /// The folder or a walked folder below it directly holds a content file.
  bool has_content = false;
  /// A stop request ended the walk early: the folders entered and not yet decided stay as they
  /// were, and has_content means nothing.
  bool cut_short = false;
  /// Folders where desktop.ini could not be written or removed.
  WalkFailures failures{};
  /// The tree goes deeper than kMaxWalkDepth, below which the walk did not go.
  bool cut_at_depth_limit = false;
};

/// Called for every folder a walk enters, before it is listed, with the names from the walk's
/// first folder down (empty for that folder), so that a change watcher that watches folder by
/// folder watches each one before anything in it can be missed (ChangeWatcher::folder_entered).
using FolderEnteredHook =
    std::function<void(const std::vector<std::string>& names, platform::Folder& folder)>;

/// Gives every folder with content anywhere below it the service's desktop.ini and takes the
/// service's file out of every folder without; decisions are made bottom-up. Only what the walk
/// knows whole decides: a folder whose listing broke off is left as it is and counts as holding
/// content. A folder that is both hidden and system (below the root) belongs to the system and
/// is left alone like a protected one; an encrypted folder is given no desktop.ini, since a file
/// the service creates there would be encrypted for the service's account and unreadable to the
/// shell. Never fails: problems show only in the counters. A raised `stop` ends the walk at the
/// next folder. `entered` (when given) is called for every folder the walk enters.
FolderScanResult scan_folder(platform::FileSystem& fs, const Path& folder,
                             const platform::StopSignal* stop = nullptr,
                             const FolderEnteredHook* entered = nullptr);

/// The same for a folder opened already (see walk_tree) that lies at `location`, against which
/// its subfolders are tested for protection.
FolderScanResult scan_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                             const platform::StopSignal* stop = nullptr,
                             const FolderEnteredHook* entered = nullptr);

/// What a walk by the scan's rules that changes nothing reports, in the order of the walk.
class FolderInspector {
 public:
  virtual ~FolderInspector() = default;
  /// A folder the scan would decide has been listed; `path` tells where it lies (WalkPath).
  virtual void folder_listed(const WalkPath& path, platform::Folder& folder, Listing listing,
                             ListedDesktopIni desktop_ini) = 0;
  /// A subfolder the scan would walk could not be opened (gone, refused).
  virtual void folder_unopened() = 0;
};

/// Walks a root opened already (see scan_folder) into exactly the folders the scan walks and
/// decides, and shows each to `inspector`; nothing on disk is written or removed, not even what
/// a cut-off write of the service's left behind.
WalkEnd inspect_folders(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                        FolderInspector& inspector, const platform::StopSignal* stop = nullptr);

}  // namespace tindral
