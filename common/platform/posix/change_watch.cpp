// The Linux change watcher: fanotify where the kernel grants a whole-file-system mark, inotify
// (a watch per folder the walks enter) where it does not.

#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "log.h"
#include "log_targets.h"
#include "platform/os_error.h"
#include "platform/posix/change_watch_parts.h"
#include "platform/posix/descriptors.h"

namespace tindral::platform {

void log_not_watched(const WatchedRoot& root, const Error& error) {
  log::warn(log::kTargetScanner,
            "Cannot watch " + root.location.display() + " for changes: " + error.message());
}

// The kernel shows an open descriptor's path as the target of its entry in /proc.
std::optional<std::string> kernel_path_of(int fd) {
  const std::string entry = "/proc/self/fd/" + std::to_string(fd);
  std::string target(PATH_MAX, '\0');
  const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
  if (length < 0 || static_cast<std::size_t>(length) == target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

namespace {

WatchedRoot watched_root(RootToWatch given) {
  WatchedRoot root;
  root.location = std::move(given.location);
  root.folder = std::move(given.folder);
  if (root.folder) root.fd = folder_descriptor(*root.folder);
  struct stat status {};
  if (root.fd < 0 || ::fstat(root.fd, &status) != 0) {
    root.fd = -1;
    return root;
  }
  root.device = status.st_dev;
  root.inode = status.st_ino;
  struct statfs file_system {};
  if (::fstatfs(root.fd, &file_system) == 0) {
    static_assert(sizeof file_system.f_fsid == sizeof root.fsid);
    std::memcpy(&root.fsid, &file_system.f_fsid, sizeof root.fsid);
  }
  auto path = kernel_path_of(root.fd);
  if (!path) {
    root.fd = -1;
    return root;
  }
  root.kernel_path = std::move(*path);
  return root;
}

bool same_roots(const std::vector<WatchedRoot>& before, const std::vector<WatchedRoot>& now) {
  return std::equal(before.begin(), before.end(), now.begin(), now.end(),
                    [](const WatchedRoot& a, const WatchedRoot& b) {
                      return a.fd >= 0 && b.fd >= 0 && a.device == b.device && a.inode == b.inode &&
                             a.kernel_path == b.kernel_path;
                    });
}

class LinuxChangeWatcher final : public ChangeWatcher {
 public:
  std::vector<ChangeSource> watch(std::vector<RootToWatch> roots) override {
    std::vector<WatchedRoot> now;
    now.reserve(roots.size());
    for (auto& given : roots) now.push_back(watched_root(std::move(given)));
    // The same roots again (every full scan rewatches them): the marks and the watches the walks
    // added stay, so that a rescan does not throw away the watches of the folders it just walked.
    if (same_roots(roots_, now)) {
      keep_watching(now);
    } else {
      start_over(now);
    }
    std::vector<ChangeSource> sources;
    for (const auto& root : roots_) sources.push_back(root.source);
    return sources;
  }

  WakeReason wait(std::chrono::milliseconds timeout, const StopSignal& stop) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Without its descriptor the signal is looked at this often.
    constexpr std::chrono::milliseconds kStopCheck{100};
    const int stop_fd = stop_signal_descriptor(stop);
    for (;;) {
      if (stop.requested()) return WakeReason::Stop;
      if (!held_.empty()) return WakeReason::Changes;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return WakeReason::Timeout;
      const auto slice = stop_fd >= 0 ? left : std::min(left, kStopCheck);
      pollfd fds[3] = {{stop_fd, POLLIN, 0},
                       {fanotify_->descriptor(), POLLIN, 0},
                       {inotify_->descriptor(), POLLIN, 0}};
      const int ready =
          ::poll(fds, 3, static_cast<int>(std::min<long long>(slice.count(), INT_MAX)));
      if (ready < 0 && errno != EINTR) {
        log::warn(log::kTargetScanner, "Waiting for changes failed: " + last_os_error().message());
        std::this_thread::sleep_for(std::min(left, kStopCheck));
        continue;
      }
      if (ready <= 0) continue;
      if (fds[1].revents != 0) fanotify_->read(roots_, held_);
      if (fds[2].revents != 0) inotify_->read(roots_, held_);
    }
  }

  void take(std::vector<Change>& out) override { held_.take(out); }

  void folder_entered(std::size_t root, const std::vector<std::string>& names,
                      Folder& folder) override {
    if (root >= roots_.size() || roots_[root].source != ChangeSource::Inotify) return;
    const int fd = folder_descriptor(folder);
    if (fd >= 0) inotify_->add(roots_, root, names, fd, held_);
  }

 private:
  void keep_watching(std::vector<WatchedRoot>& now) {
    for (std::size_t i = 0; i < now.size(); ++i) {
      auto source = roots_[i].source;
      // A root that lost its inotify watches gets another try with the walk about to come.
      if (source == ChangeSource::None && inotify_->descriptor() >= 0) {
        source = ChangeSource::Inotify;
      }
      roots_[i] = std::move(now[i]);
      roots_[i].source = source;
    }
  }

  void start_over(std::vector<WatchedRoot>& now) {
    held_.reset(now.size());
    fanotify_ = std::make_unique<FanotifyWatch>();
    inotify_ = std::make_unique<InotifyWatch>();
    roots_ = std::move(now);
    for (auto& root : roots_) root.source = source_for(root);
  }

  // fanotify when the kernel grants the mark (CAP_SYS_ADMIN, a file system that reports file
  // handles), else inotify, whose watches the walks add.
  ChangeSource source_for(const WatchedRoot& root) {
    if (root.fd < 0) return ChangeSource::None;
    if (fanotify_->mark(root)) return ChangeSource::Fanotify;
    if (inotify_->open()) return ChangeSource::Inotify;
    log_not_watched(root, last_os_error());
    return ChangeSource::None;
  }

  std::vector<WatchedRoot> roots_;
  std::unique_ptr<FanotifyWatch> fanotify_ = std::make_unique<FanotifyWatch>();
  std::unique_ptr<InotifyWatch> inotify_ = std::make_unique<InotifyWatch>();
  HeldChanges held_{kMaxHeldChanges};
};

}  // namespace

std::unique_ptr<ChangeWatcher> make_change_watcher() {
  return std::make_unique<LinuxChangeWatcher>();
}

}  // namespace tindral::platform
