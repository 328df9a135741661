// inotify, where fanotify is refused: a watch on each folder the walks enter, added before the
// walk lists the folder, so that whatever is created in it meanwhile is either listed or
// reported. A folder that appears is reported to the walk, which enters it (adding its watch)
// before listing it: a chain of new folders created at once is followed to its end.

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/os_error.h"
#include "platform/posix/change_watch_parts.h"

namespace tindral::platform {

namespace {

// IN_DONT_FOLLOW is left out on purpose: the folder is named by its descriptor's entry in
// /proc, a link the kernel resolves to the open folder itself (no name is looked up), and with
// IN_DONT_FOLLOW the watch would be put on that link instead.
constexpr std::uint32_t kWatchMask = IN_ONLYDIR | IN_EXCL_UNLINK | IN_CREATE | IN_DELETE |
                                     IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr int kMaxReads = 64;
constexpr std::size_t kReadBytes = 64 * 1024;

}  // namespace

InotifyWatch::~InotifyWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool InotifyWatch::open() {
  if (fd_ < 0) fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return fd_ >= 0;
}

void InotifyWatch::add(std::vector<WatchedRoot>& roots, std::size_t root,
                       const std::vector<std::string>& names, int folder_fd, HeldChanges& held) {
  const std::string entry = "/proc/self/fd/" + std::to_string(folder_fd);
  const int wd = ::inotify_add_watch(fd_, entry.c_str(), kWatchMask);
  if (wd < 0) {
    give_up_root(roots, root, errno, held);
    return;
  }
  Watch watch{root, kRootParent, {}};
  if (!names.empty()) {
    watch.parent = parent_watch(root, names);
    watch.name = names.back();
  }
  remember(wd, std::move(watch));
  if (names.empty()) root_watches_[root] = wd;
}

// The parent's watch, found by the names from the root's watch down; kUnknownParent when a
// folder on the way has none (a walk that did not enter it).
int InotifyWatch::parent_watch(std::size_t root, const std::vector<std::string>& names) const {
  const auto root_watch = root_watches_.find(root);
  if (root_watch == root_watches_.end()) return kUnknownParent;
  int wd = root_watch->second;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    const auto child = children_.find({wd, names[i]});
    if (child == children_.end()) return kUnknownParent;
    wd = child->second;
  }
  return wd;
}

// The same folder entered again (a rescan, or after a move) keeps its watch descriptor: its
// entry takes the place and name it was entered by now.
void InotifyWatch::remember(int wd, Watch watch) {
  forget(wd);
  if (watch.parent != kRootParent && watch.parent != kUnknownParent) {
    children_[{watch.parent, watch.name}] = wd;
  }
  watches_.emplace(wd, std::move(watch));
}

void InotifyWatch::forget(int wd) {
  const auto found = watches_.find(wd);
  if (found == watches_.end()) return;
  const auto child = children_.find({found->second.parent, found->second.name});
  if (child != children_.end() && child->second == wd) children_.erase(child);
  const auto root = root_watches_.find(found->second.root);
  if (root != root_watches_.end() && root->second == wd) root_watches_.erase(root);
  watches_.erase(found);
}

// Names from the root down, by the parents' entries. Gone when the chain is broken: a folder
// above was moved or removed and its watch dropped, and whatever happened below it is found
// where it went (or nowhere). Unplaced when it leads to a watch added below a folder the walk
// had not entered. The chain cannot be longer than the table; the bound only guards against a
// table made inconsistent.
InotifyWatch::Place InotifyWatch::place_of(int wd, std::vector<std::string>& names) const {
  for (std::size_t steps = 0; steps <= watches_.size(); ++steps) {
    const auto found = watches_.find(wd);
    if (found == watches_.end()) return Place::Gone;
    const Watch& watch = found->second;
    if (watch.parent == kRootParent) {
      std::reverse(names.begin(), names.end());
      return Place::Named;
    }
    if (watch.parent == kUnknownParent) return Place::Unplaced;
    names.push_back(watch.name);
    wd = watch.parent;
  }
  return Place::Unplaced;
}

// A folder moved away takes its watches along, wherever it went; if it stayed below a root, its
// new place is reported as Appeared and the walk there adds them again. They are dropped when
// the move is read from the old parent's queue, which the kernel fills before the new parent's
// (the Appeared), so a walk that follows the Appeared always adds them after they were dropped.
void InotifyWatch::remove_subtree(int wd) {
  std::vector<int> pending{wd};
  while (!pending.empty()) {
    const int current = pending.back();
    pending.pop_back();
    for (auto child = children_.lower_bound({current, std::string()});
         child != children_.end() && child->first.first == current; ++child) {
      pending.push_back(child->second);
    }
    ::inotify_rm_watch(fd_, current);
    forget(current);
  }
}

void InotifyWatch::forget_root(std::size_t root) {
  std::vector<int> owned;
  for (const auto& [wd, watch] : watches_) {
    if (watch.root == root) owned.push_back(wd);
  }
  for (const int wd : owned) {
    ::inotify_rm_watch(fd_, wd);
    forget(wd);
  }
}

void InotifyWatch::give_up_root(std::vector<WatchedRoot>& roots, std::size_t root, int error,
                                HeldChanges& held) {
  forget_root(root);
  roots[root].source = ChangeSource::None;
  Error reason = os_error(static_cast<std::uint32_t>(error));
  if (error == ENOSPC) {
    reason = reason.wrap(
        "more folders than the system lets one account watch "
        "(fs.inotify.max_user_watches)");
  }
  log_not_watched(roots[root], reason);
  held.add(Change{root, ChangeKind::Rescan, {}});
}

void InotifyWatch::read(std::vector<WatchedRoot>& roots, HeldChanges& held) {
  std::vector<char>& buffer = read_buffer_;
  buffer.resize(kReadBytes);
  for (int reads = 0; reads < kMaxReads; ++reads) {
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got <= 0) return;
    std::size_t at = 0;
    while (at + sizeof(inotify_event) <= static_cast<std::size_t>(got)) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const char* name_start = buffer.data() + at + sizeof event;
      at += sizeof event + event.len;
      if (at > static_cast<std::size_t>(got)) break;
      std::string_view name(name_start, event.len);
      name = name.substr(0, name.find('\0'));
      handle_event(roots, event.wd, event.mask, name, held);
    }
  }
}

void InotifyWatch::handle_event(std::vector<WatchedRoot>& roots, int wd, std::uint32_t mask,
                                std::string_view name, HeldChanges& held) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    for (std::size_t i = 0; i < roots.size(); ++i) {
      if (roots[i].source == ChangeSource::Inotify) held.add(Change{i, ChangeKind::Rescan, {}});
    }
    return;
  }
  const auto found = watches_.find(wd);
  if (found == watches_.end()) return;
  const std::size_t root = found->second.root;
  if (roots[root].source != ChangeSource::Inotify) return;
  const bool is_root = found->second.parent == kRootParent;
  if ((mask & IN_IGNORED) != 0) {
    forget(wd);
    // The root itself removed, moved away or unmounted: whatever the walk finds there now.
    if (is_root) held.add(Change{root, ChangeKind::Rescan, {}});
    return;
  }
  if ((mask & (IN_MOVE_SELF | IN_UNMOUNT)) != 0) {
    if (is_root) held.add(Change{root, ChangeKind::Rescan, {}});
    return;
  }
  if ((mask & (IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) == 0) return;
  if ((mask & (IN_MOVED_FROM | IN_ISDIR)) == (IN_MOVED_FROM | IN_ISDIR)) {
    const auto moved = children_.find({wd, std::string(name)});
    if (moved != children_.end()) remove_subtree(moved->second);
  }
  if (name.empty() || is_service_file_name(name)) return;
  std::vector<std::string> names;
  const Place place = place_of(wd, names);
  // A change that cannot be named makes the root be walked whole, which enters every folder,
  // parents first, and so gives each watch its place.
  if (place == Place::Unplaced) held.add(Change{root, ChangeKind::Rescan, {}});
  if (place != Place::Named) return;
  names.emplace_back(name);
  const bool appeared = (mask & (IN_CREATE | IN_MOVED_TO)) != 0;
  held.add(
      Change{root, appeared ? ChangeKind::Appeared : ChangeKind::Disappeared, std::move(names)});
}

}  // namespace tindral::platform
