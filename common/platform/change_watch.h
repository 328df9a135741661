#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral::platform {

/// What a change says about the tree below a watched root. It only says where to look: the names
/// are what the platform reported, and by the time the change is read the entry they named may
/// have been renamed, replaced or removed. Whoever acts on a change walks to the place from the
/// opened root, by the walk's rules, and looks for itself.
enum class ChangeKind : std::uint8_t {
  /// `names` ends with an entry (file or folder) that was created or moved in.
  Appeared,
  /// `names` ends with an entry that was deleted or moved out.
  Disappeared,
  /// The folder `names` changed in a way the platform did not tell: list it again.
  Listing,
  /// Changes were lost (an overflow, a wrapped journal, a watch that could not be added): the
  /// whole root must be walked again. `names` is empty.
  Rescan,
};

struct Change {
  /// Index of the root in the list given to ChangeWatcher::watch.
  std::size_t root = 0;
  ChangeKind kind = ChangeKind::Listing;
  /// The names from the root down, in the platform's spelling; empty for the root itself.
  std::vector<std::string> names;
  friend bool operator==(const Change&, const Change&) = default;
};

/// Where a root's changes come from.
enum class ChangeSource : std::uint8_t {
  /// Not watched: changes are found by the periodic rescan only.
  None,
  /// Linux: one fanotify mark on the whole file system that holds the root.
  Fanotify,
  /// Linux without the capabilities fanotify needs: one inotify watch per folder.
  Inotify,
  /// Windows: the change journal of the NTFS or ReFS volume that holds the root.
  UsnJournal,
  /// Windows where there is no journal (network shares, FAT, exFAT): ReadDirectoryChangesW on
  /// the root and its subtree.
  DirectoryChanges,
};

/// The name status and the log give a source: "none", "fanotify", "inotify", "USN journal",
/// "ReadDirectoryChangesW".
std::string_view change_source_name(ChangeSource source);

/// A root as the watcher is given it: opened by the same root resolution as the scan, so that the
/// watch covers the folder the scan walks.
struct RootToWatch {
  /// The opened root's final path, canonical (OpenedRoot::location).
  Path location;
  /// The opened root; the watcher may keep it.
  std::unique_ptr<Folder> folder;
};

/// Why ChangeWatcher::wait returned.
enum class WakeReason : std::uint8_t { Changes, Stop, Timeout };

/// Turns the platform's change notifications for a set of roots into Change values. Memory does
/// not grow with the tree (except inotify's watch table, which the kernel bounds), and the number
/// of changes held between two take() calls is bounded: beyond the bound a root's changes become
/// one Rescan. The watcher never opens anything by a name it was told.
class ChangeWatcher {
 public:
  virtual ~ChangeWatcher() = default;

  /// Stops watching whatever was watched and watches these roots instead; returns each root's
  /// source, in order (None where no source could be set up; the reason is logged once).
  virtual std::vector<ChangeSource> watch(std::vector<RootToWatch> roots) = 0;

  /// Sleeps in the kernel until a change has been read, `stop` is raised or `timeout` passes.
  virtual WakeReason wait(std::chrono::milliseconds timeout, const StopSignal& stop) = 0;

  /// Appends every change read since the last call to `out`, in the order read.
  virtual void take(std::vector<Change>& out) = 0;

  /// The scan walking `root` has entered `folder` at `names` below it and is about to list it.
  /// Sources that watch folder by folder (inotify) add the folder's watch here, before it is
  /// listed, so that nothing created meanwhile is missed; the others do nothing.
  virtual void folder_entered(std::size_t root, const std::vector<std::string>& names,
                              Folder& folder) {
    static_cast<void>(root);
    static_cast<void>(names);
    static_cast<void>(folder);
  }
};

/// The platform's watcher (Windows: the USN journal, else ReadDirectoryChangesW; Linux:
/// fanotify, else inotify).
std::unique_ptr<ChangeWatcher> make_change_watcher();

}  // namespace tindral::platform
