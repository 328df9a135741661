#pragma once

// What a watcher holds between two ChangeWatcher::take calls, bounded whatever the platform
// reports, and the names of the service's own writes, which no watcher passes on.

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/change_watch.h"

namespace tindral::platform {

/// The most changes a watcher holds between two take() calls; one more turns its root's changes
/// into one Rescan, so that a burst costs memory in proportion to this bound, not to the burst.
inline constexpr std::size_t kMaxHeldChanges = 8192;

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

  /// Forgets everything held and makes room for `roots` roots; changes of other roots are dropped.
  void reset(std::size_t roots);
  void add(Change change);
  /// Replaces every change held for `root` with one Rescan; later ones are dropped until taken.
  void rescan(std::size_t root);
  /// Appends what is held to `out`, in the order it was added, and holds nothing after.
  void take(std::vector<Change>& out);
  bool empty() const { return held_.empty(); }
  /// Forgets everything held, keeping room for the same roots.
  void clear();

 private:
  std::size_t limit_;
  std::vector<Change> held_;
  std::vector<bool> rescanning_;
};

}  // namespace tindral::platform
