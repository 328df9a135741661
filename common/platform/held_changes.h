#pragma once

// What a watcher holds between two ChangeWatcher::take calls, bounded whatever the platform
// reports, and the names of the service's own writes, which no watcher passes on.

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/change_watch.h"

namespace tindral::platform {

/// True for a name the service writes in the folders it decorates: desktop.ini (in any letter
/// case, as Windows opens it) and the names it writes one under before putting it in place. A
/// change of such a name is the service's own write (or one the next rescan sees to), and
/// passing it on would wake the service for its own work.
bool is_service_file_name(std::string_view name);

/// The changes read and not yet taken, a change equal to the one before it once. At most `limit`
/// are held: a change beyond that, and any Rescan, replaces every change of its root with one
/// Rescan, and the root's later changes are dropped until the next take (a rescan sees them all).
class HeldChanges {
 public:
  explicit HeldChanges(std::size_t limit) : limit_(limit) {}

  /// Forgets everything held and makes room for `roots` roots.
  void reset(std::size_t roots);
  void add(Change change);
  /// Appends what is held to `out`, in the order it was added, and holds nothing after.
  void take(std::vector<Change>& out);
  bool empty() const { return held_.empty(); }

 private:
  void rescan(std::size_t root);

  std::size_t limit_;
  std::vector<Change> held_;
  std::vector<bool> rescanning_;
};

}  // namespace tindral::platform
