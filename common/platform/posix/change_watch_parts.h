#pragma once

// The parts of the Linux change watcher (change_watch.cpp): the roots, the changes held between
// two take() calls, and the two sources, fanotify (fanotify_watch.cpp) and inotify
// (inotify_watch.cpp).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/change_watch.h"
#include "platform/held_changes.h"

namespace tindral::platform {

/// A root being watched: the opened folder (kept open: its descriptor is what fanotify decodes
/// handles against and what tells a root from a look-alike) and its source.
struct WatchedRoot {
  Path location;
  std::unique_ptr<Folder> folder;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  /// The file system's id as fanotify reports it with each event (statfs's f_fsid).
  std::uint64_t fsid = 0;
  /// The root's path as the kernel shows its descriptor now: what fanotify's folder paths are
  /// compared with.
  std::string kernel_path;
  ChangeSource source = ChangeSource::None;
};

/// The path the kernel shows for an open descriptor (its /proc/self/fd entry): a hint for names,
/// never a path to open. nullopt when it cannot be read whole.
std::optional<std::string> kernel_path_of(int fd);

/// The one line that says why a root is not watched.
void log_not_watched(const WatchedRoot& root, const Error& error);

/// One fanotify group with a whole-file-system mark for each file system that holds a fanotify
/// root. Needs CAP_SYS_ADMIN (the mark) and CAP_DAC_READ_SEARCH (open_by_handle_at).
class FanotifyWatch {
 public:
  FanotifyWatch() = default;
  ~FanotifyWatch();
  FanotifyWatch(const FanotifyWatch&) = delete;
  FanotifyWatch& operator=(const FanotifyWatch&) = delete;

  /// Marks the file system that holds `root`; false (with errno kept) when the kernel refuses.
  bool mark(const WatchedRoot& root);
  /// The group's descriptor, -1 before the first mark.
  int descriptor() const { return fd_; }
  /// Reads what is queued (a bounded number of reads) into `held`.
  void read(const std::vector<WatchedRoot>& roots, HeldChanges& held);

 private:
  /// Where read() takes the kernel's events: on the heap, since a buffer in thread-local
  /// storage would be reserved in every thread's stack.
  std::vector<char> read_buffer_;
  void handle_event(const std::vector<WatchedRoot>& roots, std::string_view event,
                    HeldChanges& held);
  void resolve(const std::vector<WatchedRoot>& roots, std::uint64_t fsid, std::string_view handle,
               std::string_view name, std::uint64_t mask, HeldChanges& held);
  static void rescan_all(const std::vector<WatchedRoot>& roots, HeldChanges& held);

  int fd_ = -1;
  /// The file system id and handle of the folder last found outside every root, in this batch.
  std::string last_outside_;
};

/// One inotify instance with a watch on every folder the walks of its roots entered. The table
/// below is the only memory kept per folder; the kernel bounds it (max_user_watches).
class InotifyWatch {
 public:
  InotifyWatch() = default;
  ~InotifyWatch();
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  /// Makes the instance if there is none yet; false (with errno kept) when the kernel refuses.
  bool open();
  int descriptor() const { return fd_; }
  /// Drops every watch of a root that is no longer watched this way.
  void forget_root(std::size_t root);
  /// Adds the watch of a folder the walk of `root` entered at `names`; on failure the root is no
  /// longer watched (its source becomes None, one log line) and its changes become a Rescan.
  void add(std::vector<WatchedRoot>& roots, std::size_t root, const std::vector<std::string>& names,
           int folder_fd, HeldChanges& held);
  void read(std::vector<WatchedRoot>& roots, HeldChanges& held);

 private:
  /// Where read() takes the kernel's events: on the heap, since a buffer in thread-local
  /// storage would be reserved in every thread's stack.
  std::vector<char> read_buffer_;
  /// The parent of a root's own watch, and of a watch whose parent had no watch when it was added.
  static constexpr int kRootParent = -1;
  static constexpr int kUnknownParent = -2;

  struct Watch {
    std::size_t root = 0;
    int parent = kRootParent;
    std::string name;
  };

  void handle_event(std::vector<WatchedRoot>& roots, int wd, std::uint32_t mask,
                    std::string_view name, HeldChanges& held);
  int parent_watch(std::size_t root, const std::vector<std::string>& names) const;
  enum class Place { Named, Gone, Unplaced };
  Place place_of(int wd, std::vector<std::string>& names) const;
  void remember(int wd, Watch watch);
  void forget(int wd);
  void remove_subtree(int wd);
  void give_up_root(std::vector<WatchedRoot>& roots, std::size_t root, int error,
                    HeldChanges& held);

  int fd_ = -1;
  std::unordered_map<int, Watch> watches_;
  /// (parent, name) -> the watch: how a folder's parent is found from its names, and a folder's
  /// watched subfolders from the folder.
  std::map<std::pair<int, std::string>, int> children_;
  std::map<std::size_t, int> root_watches_;
};

}  // namespace tindral::platform
