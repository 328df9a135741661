#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/change_watch.h"

namespace tindral {

/// The most folders kept to look at for one root, and the most names of entries that appeared
/// kept for them together; one more makes the root one to walk whole instead. The bound keeps
/// a burst of changes from growing the service's memory with the tree.
inline constexpr std::size_t kMaxChangedFolders = 4096;
inline constexpr std::size_t kMaxAppearedNames = 16384;

/// One folder to look at again, named from its root down (the names are hints: see Change).
struct FolderToLookAt {
  std::vector<std::string> names;
  /// Walk the folder and everything below it (a folder that appeared).
  bool whole_subtree = false;
  /// List the folder again and decide it (something in it disappeared or changed).
  bool list_again = false;
  /// Entries that appeared in it: those that are folders are walked whole; files make it and
  /// the folders above it get their icon.
  std::vector<std::string> appeared;
};

/// The changes of one gathering, merged per root: a folder named twice is looked at once, a
/// folder below one that is walked whole is not looked at on its own, and a root with more
/// changes than the bounds hold (or a Rescan change) is walked whole.
class ChangedFolders {
 public:
  void add(const platform::Change& change);
  bool empty() const;
  /// The roots with changes, in increasing order.
  std::vector<std::size_t> roots() const;
  /// True when `root` is to be walked whole rather than folder by folder.
  bool rescan_wanted(std::size_t root) const;
  /// The folders to look at below `root`, deepest first (so that a folder is decided after the
  /// folders below it that changed too); empty when rescan_wanted.
  std::vector<FolderToLookAt> folders(std::size_t root) const;
  void clear();

 private:
  struct RootChanges {
    bool rescan = false;
    std::map<std::vector<std::string>, FolderToLookAt> folders;
    std::size_t appeared_names = 0;
  };
  std::map<std::size_t, RootChanges> roots_;
};

}  // namespace tindral
