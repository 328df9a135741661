// fanotify: one whole-file-system mark reports every creation, removal and move on the file
// system, by any process, with the parent folder's file handle and the entry's name. The handle
// is opened (open_by_handle_at, O_PATH) and the folder's place found from the path the kernel
// shows for it; that path only names the change (names are hints), nothing is opened by it.

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/os_error.h"
#include "platform/posix/change_watch_parts.h"

namespace tindral::platform {

namespace {

constexpr unsigned kGroupFlags =
    FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME;
constexpr std::uint64_t kEvents =
    FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_ONDIR;
// Reads per wake-up: a flood is left in the queue (where it overflows into a rescan) rather than
// keeping the worker reading.
constexpr int kMaxReads = 64;
constexpr std::size_t kReadBytes = 64 * 1024;

/// A file handle copied out of an event into storage aligned for the kernel's struct.
struct HandleCopy {
  union {
    file_handle handle;
    std::array<unsigned char, sizeof(file_handle) + MAX_HANDLE_SZ> bytes;
  };
};

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Whether open_by_handle_at works here at all (it needs CAP_DAC_READ_SEARCH, and a file system
// that makes handles): tried once on the root, so that a group whose every event would fail
// to open is never set up.
bool handles_open(int root_fd) {
  HandleCopy copy{};
  copy.handle.handle_bytes = MAX_HANDLE_SZ;
  int mount_id = 0;
  if (::name_to_handle_at(root_fd, "", &copy.handle, &mount_id, AT_EMPTY_PATH) != 0) return false;
  ScopedFd opened(::open_by_handle_at(root_fd, &copy.handle, O_PATH | O_CLOEXEC));
  return opened.get() >= 0;
}

// The names below `root_path` that `path` has, or nullopt when it does not lie below it.
std::optional<std::vector<std::string>> names_below(std::string_view root_path,
                                                    std::string_view path) {
  if (root_path == "/") {
    if (!path.starts_with('/')) return std::nullopt;
    path.remove_prefix(1);
  } else {
    if (!path.starts_with(root_path)) return std::nullopt;
    path.remove_prefix(root_path.size());
    if (!path.empty() && !path.starts_with('/')) return std::nullopt;
    if (!path.empty()) path.remove_prefix(1);
  }
  std::vector<std::string> names;
  while (!path.empty()) {
    const auto slash = path.find('/');
    names.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return names;
}

enum class Placement { Below, Outside, Gone, Lost };

// Where the folder of `handle` lies as seen from `root`: below it (at `names`), outside it, gone,
// or lost (the kernel would not say: the root is rescanned). Each root's own descriptor is the
// mount the handle is opened on, so that the path the kernel shows is on the root's mount even
// where the file system is mounted in several places.
//
// A handle that no longer opens (ESTALE) is a folder that was removed: nothing is emitted for
// it, because changes inside a removed folder change nothing left, and its own removal comes as
// a Disappeared from its parent's event (or its parent's parent's, up to the first folder that
// is still there). EACCES is a folder the root's mount does not reach (a bind mount of part of
// the file system): outside the root.
Placement place(const WatchedRoot& root, file_handle& handle, std::vector<std::string>& names) {
  ScopedFd folder(::open_by_handle_at(root.fd, &handle, O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (folder.get() < 0 || ::fstat(folder.get(), &status) != 0) {
    if (errno == EACCES) return Placement::Outside;
    if (errno == ESTALE || errno == ENOENT) return Placement::Gone;
    return Placement::Lost;
  }
  if (status.st_nlink == 0) return Placement::Gone;
  if (status.st_dev == root.device && status.st_ino == root.inode) return Placement::Below;
  const auto path = kernel_path_of(folder.get());
  // A folder too deep for the kernel to show its path may lie below the root.
  if (!path) return Placement::Lost;
  auto below = names_below(root.kernel_path, *path);
  if (!below || below->empty()) return Placement::Outside;
  names = std::move(*below);
  return Placement::Below;
}

void add_changes(std::size_t root, std::vector<std::string> names, std::string_view name,
                 std::uint64_t mask, HeldChanges& held) {
  if (name.empty()) {
    held.add(Change{root, ChangeKind::Listing, std::move(names)});
    return;
  }
  names.emplace_back(name);
  // Events of one name merge in the queue: both kinds at once say only that the entry came and
  // went in some order, so both are passed on.
  if ((mask & (FAN_DELETE | FAN_MOVED_FROM)) != 0) {
    held.add(Change{root, ChangeKind::Disappeared, names});
  }
  if ((mask & (FAN_CREATE | FAN_MOVED_TO)) != 0) {
    held.add(Change{root, ChangeKind::Appeared, std::move(names)});
  }
}

}  // namespace

FanotifyWatch::~FanotifyWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool FanotifyWatch::mark(const WatchedRoot& root) {
  if (fd_ < 0) {
    fd_ = ::fanotify_init(kGroupFlags, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
    if (fd_ < 0) return false;
  }
  if (!handles_open(root.fd)) return false;
  // "." names the root's descriptor itself, which may be one that only locates the folder.
  return ::fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kEvents, root.fd, ".") == 0;
}

void FanotifyWatch::read(const std::vector<WatchedRoot>& roots, HeldChanges& held) {
  std::vector<char>& buffer = read_buffer_;
  buffer.resize(kReadBytes);
  // Busy folders elsewhere on the file system (a build, a log) send event after event: the
  // last folder found outside every root is remembered while this batch is read. Dropping its
  // later events is safe even if it moved into a root meanwhile: the move is reported too, and
  // the walk that follows it, after this batch, lists whatever the folder then holds.
  last_outside_.clear();
  for (int reads = 0; reads < kMaxReads; ++reads) {
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got <= 0) return;
    // Events follow each other at 4-byte boundaries while the struct wants 8: each is copied
    // out rather than read in place.
    const std::string_view events(buffer.data(), static_cast<std::size_t>(got));
    std::size_t at = 0;
    while (at + sizeof(fanotify_event_metadata) <= events.size()) {
      std::uint32_t length = 0;
      std::memcpy(&length, events.data() + at + offsetof(fanotify_event_metadata, event_len),
                  sizeof length);
      if (length < sizeof(fanotify_event_metadata) || at + length > events.size()) break;
      handle_event(roots, events.substr(at, length), held);
      at += length;
    }
  }
}

void FanotifyWatch::handle_event(const std::vector<WatchedRoot>& roots, std::string_view event,
                                 HeldChanges& held) {
  fanotify_event_metadata metadata{};
  std::memcpy(&metadata, event.data(), sizeof metadata);
  if (metadata.fd >= 0) ::close(metadata.fd);
  if (metadata.vers != FANOTIFY_METADATA_VERSION || (metadata.mask & FAN_Q_OVERFLOW) != 0) {
    rescan_all(roots, held);
    return;
  }
  std::size_t at = metadata.metadata_len;
  while (at + sizeof(fanotify_event_info_header) <= event.size()) {
    fanotify_event_info_header header{};
    std::memcpy(&header, event.data() + at, sizeof header);
    if (header.len == 0 || at + header.len > event.size()) break;
    const std::string_view info = event.substr(at, header.len);
    at += header.len;
    if (header.info_type != FAN_EVENT_INFO_TYPE_DFID_NAME &&
        header.info_type != FAN_EVENT_INFO_TYPE_DFID) {
      continue;
    }
    const std::size_t handle_at = offsetof(fanotify_event_info_fid, handle);
    if (info.size() < handle_at + sizeof(file_handle)) continue;
    file_handle handle_head{};
    std::memcpy(&handle_head, info.data() + handle_at, sizeof handle_head);
    const std::size_t name_at = handle_at + sizeof(file_handle) + handle_head.handle_bytes;
    if (handle_head.handle_bytes > MAX_HANDLE_SZ || info.size() < name_at) continue;
    std::string_view name;
    if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
      name = info.substr(name_at);
      name = name.substr(0, name.find('\0'));
    }
    if (name == ".") name = {};
    std::uint64_t fsid = 0;
    std::memcpy(&fsid, info.data() + offsetof(fanotify_event_info_fid, fsid), sizeof fsid);
    resolve(roots, fsid, info.substr(handle_at, name_at - handle_at), name, metadata.mask, held);
  }
}

void FanotifyWatch::resolve(const std::vector<WatchedRoot>& roots, std::uint64_t fsid,
                            std::string_view handle, std::string_view name, std::uint64_t mask,
                            HeldChanges& held) {
  if (!name.empty() && is_service_file_name(name)) return;
  std::string key(reinterpret_cast<const char*>(&fsid), sizeof fsid);
  key.append(handle);
  if (key == last_outside_) return;
  HandleCopy copy{};
  std::memcpy(copy.bytes.data(), handle.data(), handle.size());
  bool below_a_root = false;
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (roots[i].source != ChangeSource::Fanotify || roots[i].fsid != fsid) continue;
    std::vector<std::string> names;
    switch (place(roots[i], copy.handle, names)) {
      case Placement::Below:
        add_changes(i, std::move(names), name, mask, held);
        below_a_root = true;
        break;
      case Placement::Lost:
        held.add(Change{i, ChangeKind::Rescan, {}});
        below_a_root = true;
        break;
      case Placement::Gone:
        return;
      case Placement::Outside:
        break;
    }
  }
  if (!below_a_root) last_outside_ = std::move(key);
}

void FanotifyWatch::rescan_all(const std::vector<WatchedRoot>& roots, HeldChanges& held) {
  for (std::size_t i = 0; i < roots.size(); ++i) {
    if (roots[i].source == ChangeSource::Fanotify) held.add(Change{i, ChangeKind::Rescan, {}});
  }
}

}  // namespace tindral::platform
