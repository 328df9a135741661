// The POSIX file system, shaped after the Win32 calls the service is written for.
//
// Windows attributes that a POSIX file system lacks are kept the way Wine keeps them, so that a
// tree decorated natively and one decorated by the Windows build under Wine look the same:
// HIDDEN, SYSTEM and ARCHIVE in the extended attribute user.DOSATTRIB as ASCII "0x" and lower-case
// hex without a NUL; a file's READONLY as the absence of every write bit in its mode. Wine drops
// READONLY on folders; this layer keeps it in the same extended attribute, because a folder's
// mode must stay writable for the service to put desktop.ini into a read-only folder.
//
// The walks go through open folders: every name below a root is opened relative to its
// folder's descriptor with O_NOFOLLOW, and every change goes through the descriptor that was
// opened (fchmod, fsetxattr, futimens), or acts on a name (rename, unlink) only after checking
// that the name still holds the file that was opened, so that a name swapped for a link after a
// listing showed it never leads the service, which runs as root, to a file elsewhere.
//
// The path-based calls (the data folder's files; of a root only "/", the rest is opened name by
// name) take paths whole, as Windows takes them, but the kernel refuses a path of PATH_MAX bytes
// or more. A long path is therefore reached through descriptors of folders along it (see
// LongPathAnchors), each call resolving only a short rest.

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"
#include "platform/posix/descriptors.h"

namespace tindral::platform {

namespace {

constexpr char kDosAttribName[] = "user.DOSATTRIB";
constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;
// The bits the extended attribute holds: a file's READONLY lives in its mode instead.
constexpr std::uint32_t kFileStoredBits = kAttrHidden | kAttrSystem | kAttrArchive;
constexpr std::uint32_t kFolderStoredBits = kFileStoredBits | kAttrReadonly;

// Paths shorter than this (nearly all) go to the kernel whole. Longer ones are resolved through
// folder descriptors: long before PATH_MAX refuses them, a whole path costs the kernel a lookup
// per component on every call, which in a deep tree outweighs opening the descriptors.
constexpr std::size_t kLongPathBytes = 512;
// How far apart the descriptors along a long path start out: the most any call resolves by name.
constexpr std::size_t kAnchorSpacing = 256;
// Past this many descriptors every second one is closed and the spacing doubles, up to a spacing
// that still leaves a call's rest far below PATH_MAX; only then does the count grow further.
constexpr std::size_t kMaxAnchors = 128;
constexpr std::size_t kMaxAnchorSpacing = 2048;

#if defined(O_PATH)
// A descriptor that only locates a folder needs no permission to read it.
constexpr int kLocateFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kLocateFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// How the walks open what they find below a root: never through a link, never waiting for a FIFO's
// writer, never taking a terminal as the controlling terminal.
constexpr int kFolderFlags =
    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kFileReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kFileWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// A folder that may be searched but not listed (for a process without root's privileges) can
// still be opened to reach the names in it.
#if defined(O_PATH)
constexpr int kSearchOnlyFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kSearchOnlyFolderFlags = kFolderFlags;
#endif
// Reads go in pieces of this size, so that memory follows what a file holds, not its claims.
constexpr std::size_t kReadPiece = 16 * 1024;

#if defined(O_NOATIME)
// Reading its own desktop.ini every pass must not make the disk write access times back.
constexpr int kNoAccessTime = O_NOATIME;
#else
constexpr int kNoAccessTime = 0;
#endif

/// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  /// Hands the descriptor over to whoever closes it from now on.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

/// Where a call finds its target: a folder descriptor (AT_FDCWD for the working folder) and a
/// path relative to it that the kernel accepts.
struct Location {
  int folder = AT_FDCWD;
  const char* rest = "";
};

/// The path for the calls without an *at() form (the extended attributes): a short path as it
/// stands, without a copy; a located one through the descriptor's entry in /proc, so on a long
/// path they need /proc mounted.
class XattrPath {
 public:
  explicit XattrPath(const Location& at) {
    if (at.folder == AT_FDCWD) {
      path_ = at.rest;
      return;
    }
    through_proc_ = "/proc/self/fd/" + std::to_string(at.folder) + "/" + at.rest;
    path_ = through_proc_.c_str();
  }
  XattrPath(const XattrPath&) = delete;
  XattrPath& operator=(const XattrPath&) = delete;
  const char* c_str() const { return path_; }

 private:
  std::string through_proc_;
  const char* path_ = nullptr;
};

// The offset just past the separators that end the parent of the path's last component, or
// npos for a single component.
std::size_t end_of_parent(const std::string& path) {
  const Path parent = Path(path).parent();
  if (parent.empty()) return std::string::npos;
  std::size_t end = parent.bytes().size();
  while (end < path.size() && path[end] == kSeparator) ++end;
  return end;
}

// Descriptors of folders along the last long path, reused for the next one as far as the two
// share a beginning. A walk asks for paths that differ only near their ends, so each call
// resolves a short rest from the deepest shared folder instead of the whole path from the root;
// that also keeps a walk down a chain of folders from costing time in the square of its depth.
class LongPathAnchors {
 public:
  Result<Location> locate(const std::string& path) {
    const std::size_t parent_end = end_of_parent(path);
    if (parent_end == std::string::npos) return Location{AT_FDCWD, path.c_str()};
    keep_shared_with(path, parent_end);
    while (parent_end - rest_start() > spacing_) {
      if (auto added = add_anchor(path, parent_end); !added) return std::move(added).error();
    }
    return Location{anchors_.empty() ? AT_FDCWD : anchors_.back().fd.get(),
                    path.c_str() + rest_start()};
  }

  /// Closes every descriptor, so that none keeps a folder (or its file system) busy once the
  /// calls have left the long path.
  void clear() {
    anchors_.clear();
    along_.clear();
    spacing_ = kAnchorSpacing;
  }

 private:
  struct Anchor {
    std::size_t end;  ///< the descriptor names along_[0, end), which ends with a separator
    ScopedFd fd;
  };

  std::size_t rest_start() const { return anchors_.empty() ? 0 : anchors_.back().end; }

  // An anchor past the parent (a path further up the same branch), or along a beginning the
  // path does not share, would resolve the rest in the wrong folder. A walk mostly keeps the
  // deepest anchor, so the check starts there.
  void keep_shared_with(const std::string& path, std::size_t parent_end) {
    while (!anchors_.empty()) {
      const std::size_t end = anchors_.back().end;
      if (end <= parent_end && along_.compare(0, end, path, 0, end) == 0) return;
      anchors_.pop_back();
    }
  }

  // Opens the folder at most `spacing_` bytes further along: it ends at the last separator in
  // reach (a name is at most NAME_MAX bytes, so one is in reach unless the spacing is tiny).
  Result<void> add_anchor(const std::string& path, std::size_t parent_end) {
    const std::size_t start = rest_start();
    std::size_t cut = path.rfind(kSeparator, start + spacing_);
    if (cut == std::string::npos || cut < start) cut = path.find(kSeparator, start);
    std::size_t end = cut + 1;
    while (end < parent_end && path[end] == kSeparator) ++end;

    const std::string step = path.substr(start, end - start);
    const int base = anchors_.empty() ? AT_FDCWD : anchors_.back().fd.get();
    ScopedFd fd(::openat(base, step.c_str(), kLocateFolderFlags));
    if (fd.get() < 0) return last_os_error();
    along_.assign(path, 0, end);
    anchors_.push_back(Anchor{end, std::move(fd)});
    if (anchors_.size() > kMaxAnchors && spacing_ < kMaxAnchorSpacing) thin_out();
    return {};
  }

  // Keeps every second descriptor, the deepest included: fewer open descriptors, twice the rest.
  void thin_out() {
    std::vector<Anchor> kept;
    for (std::size_t i = anchors_.size() % 2 == 0 ? 1 : 0; i < anchors_.size(); i += 2) {
      kept.push_back(std::move(anchors_[i]));
    }
    anchors_ = std::move(kept);
    spacing_ *= 2;
  }

  std::string along_;  ///< the beginning of the path the anchors were opened along
  std::vector<Anchor> anchors_;
  std::size_t spacing_ = kAnchorSpacing;
};

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Wine writes "0x6"; other writers add a NUL and binary data after the text, or leave out the
// "0x". Only the leading hex number counts, and text without one holds no bits.
std::uint32_t parse_dos_attrib(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  std::uint32_t value = 0;
  for (char c : text) {
    const int digit = hex_digit_value(c);
    if (digit < 0) break;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

std::string format_dos_attrib(std::uint32_t bits) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(bits));
  return std::string(text, static_cast<std::size_t>(length));
}

/// Where the attribute calls act: an open descriptor (the walks), or a located path for the
/// path-based calls (whose extended attributes go through XattrPath).
class Inode {
 public:
  static Inode of_descriptor(int fd) { return Inode(fd, nullptr); }
  static Inode at(const Location& location) { return Inode(-1, &location); }

  ssize_t get_xattr(char* buffer, std::size_t size) const {
    if (fd_ >= 0) return ::fgetxattr(fd_, kDosAttribName, buffer, size);
    return ::getxattr(XattrPath(*location_).c_str(), kDosAttribName, buffer, size);
  }
  int set_xattr(const std::string& text) const {
    if (fd_ >= 0) return ::fsetxattr(fd_, kDosAttribName, text.data(), text.size(), 0);
    return ::setxattr(XattrPath(*location_).c_str(), kDosAttribName, text.data(), text.size(), 0);
  }
  int remove_xattr() const {
    if (fd_ >= 0) return ::fremovexattr(fd_, kDosAttribName);
    return ::removexattr(XattrPath(*location_).c_str(), kDosAttribName);
  }
  int change_mode(mode_t mode) const {
    if (fd_ >= 0) return ::fchmod(fd_, mode);
    return ::fchmodat(location_->folder, location_->rest, mode, 0);
  }

 private:
  Inode(int fd, const Location* location) : fd_(fd), location_(location) {}
  int fd_;
  const Location* location_;
};

// A file system without user extended attributes (ENOTSUP) cannot have stored any bits, so
// reading one is the same as reading an absent attribute.
Result<std::uint32_t> read_dos_attrib(const Inode& inode) {
  char text[256];
  const ssize_t length = inode.get_xattr(text, sizeof text);
  if (length >= 0) {
    return parse_dos_attrib(std::string_view(text, static_cast<std::size_t>(length)));
  }
  if (errno == ENODATA || errno == ENOTSUP) return std::uint32_t{0};
  if (errno == ERANGE) return Error("user.DOSATTRIB is too long to be attribute bits");
  return last_os_error();
}

// No bits are stored as no attribute at all, as Wine does. Bits that cannot be stored are an
// error, never dropped as Wine drops them on such file systems.
Result<void> write_dos_attrib(const Inode& inode, std::uint32_t bits) {
  if (bits == 0) {
    if (inode.remove_xattr() == 0) return {};
    if (errno == ENODATA || errno == ENOTSUP) return {};
    return last_os_error();
  }
  if (inode.set_xattr(format_dos_attrib(bits)) == 0) return {};
  return last_os_error();
}

Result<struct stat> stat_following_links(const Location& at) {
  struct stat status {};
  if (::fstatat(at.folder, at.rest, &status, 0) != 0) return last_os_error();
  return status;
}

Result<struct stat> stat_descriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return last_os_error();
  return status;
}

FileId id_of(const struct stat& status) {
  return FileId{static_cast<std::uint64_t>(status.st_dev), 0,
                static_cast<std::uint64_t>(status.st_ino)};
}

FileId id_of(const struct statx& status) {
  return FileId{static_cast<std::uint64_t>(makedev(status.stx_dev_major, status.stx_dev_minor)), 0,
                static_cast<std::uint64_t>(status.stx_ino)};
}

bool has_write_bit(const struct stat& status) { return (status.st_mode & kAnyWriteBit) != 0; }

Result<void> change_mode(const Inode& inode, mode_t mode) {
  if (inode.change_mode(mode) != 0) return last_os_error();
  return {};
}

Result<void> set_folder_attributes(const Inode& folder, std::uint32_t attributes) {
  return write_dos_attrib(folder, attributes & kFolderStoredBits);
}

// The owner may change the extended attribute of a file only while the file is writable, so the
// write bit goes back on first and comes off again last (Wine, which removes it first, loses
// HIDDEN and SYSTEM when both arrive with READONLY in one call).
Result<void> set_file_attributes(const Inode& file, const struct stat& status,
                                 std::uint32_t attributes) {
  const mode_t old_mode = status.st_mode & 07777;
  const mode_t writable_mode = has_write_bit(status) ? old_mode : (old_mode | S_IWUSR);
  const mode_t new_mode =
      (attributes & kAttrReadonly) != 0 ? (old_mode & ~kAnyWriteBit) : writable_mode;

  if (writable_mode != old_mode) {
    if (auto made_writable = change_mode(file, writable_mode); !made_writable) return made_writable;
  }
  if (auto stored = write_dos_attrib(file, attributes & kFileStoredBits); !stored) {
    if (writable_mode != old_mode) (void)change_mode(file, old_mode);
    return stored;
  }
  if (new_mode != writable_mode) return change_mode(file, new_mode);
  return {};
}

Result<void> set_attributes_of(const Inode& inode, const struct stat& status,
                               std::uint32_t attributes) {
  if (S_ISDIR(status.st_mode)) return set_folder_attributes(inode, attributes);
  return set_file_attributes(inode, status, attributes);
}

// A file without any bit reports NORMAL, as GetFileAttributesW does.
Result<std::uint32_t> attributes_of(const Inode& inode, const struct stat& status) {
  auto stored = read_dos_attrib(inode);
  if (!stored) return std::move(stored).error();
  if (S_ISDIR(status.st_mode)) return kAttrDirectory | (*stored & kFolderStoredBits);
  std::uint32_t attributes = *stored & kFileStoredBits;
  if (!has_write_bit(status)) attributes |= kAttrReadonly;
  return attributes != 0 ? attributes : kAttrNormal;
}

std::uint32_t attributes_of_mode(mode_t mode) {
  if (S_ISLNK(mode)) return kAttrReparsePoint;
  if (S_ISDIR(mode)) return kAttrDirectory;
  return kAttrNormal;
}

// ---- staying on the file system of the folder the walk is in ----
//
// The walks never enter another file system below a root, as the Windows build never enters a
// mount point (a name-surrogate reparse point there). More than tidiness is at stake: a FUSE
// mount whose server never answers (any user may make one where user_allow_other is set) or an
// NFS export whose server has gone holds every call that reaches its file system for good (an
// open of a FUSE folder waits for the answer to OPENDIR, a plain stat of its root for GETATTR,
// and SIGTERM does not end the wait), and with it the scan and every later root.
//
// So nothing below a root is opened or looked at in a way that asks the file system mounted on
// a name. Opens go through openat2 with RESOLVE_NO_XDEV: the kernel refuses (EXDEV) while it
// resolves the name, from its own mount table, before the mounted file system sees any call, in
// one call that leaves no moment for a mount to appear between a check and the open. A look at
// a name (statx) passes AT_STATX_DONT_SYNC, with which FUSE and NFS answer from the attributes
// the kernel has cached instead of asking the server, and AT_NO_AUTOMOUNT, which leaves an
// automount point untriggered. Tried on Linux 6.18 with a FUSE mount whose device nobody reads:
// both return at once where openat and fstatat wait until the process is killed.

constexpr int kQuietLook = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;
constexpr int kQuietLookAtDescriptor = AT_EMPTY_PATH | AT_STATX_DONT_SYNC;

/// What is known of a name (or, with an empty name and AT_EMPTY_PATH, of the descriptor itself)
/// without asking its file system's server; false with errno set when the call fails.
bool look_quietly(int folder, const char* name, int flags, struct statx& status) {
  constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_INO | STATX_MNT_ID;
  return ::statx(folder, name, flags, kWanted, &status) == 0;
}

Result<struct statx> quiet_look(int folder, const char* name) {
  struct statx status {};
  if (!look_quietly(folder, name, kQuietLook, status)) return last_os_error();
  return status;
}

// The mount id (Linux 5.8) also tells a bind mount of the same file system apart.
bool on_same_mount(const struct statx& folder, const struct statx& below) {
  if ((below.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) return false;
  if (folder.stx_dev_major != below.stx_dev_major || folder.stx_dev_minor != below.stx_dev_minor) {
    return false;
  }
  const bool both_know = (folder.stx_mask & below.stx_mask & STATX_MNT_ID) != 0;
  return !both_know || folder.stx_mnt_id == below.stx_mnt_id;
}

// Kernels before 5.6 have no openat2. There the name is looked at quietly first and the opened
// descriptor checked again: a mount that appears between the look and the open may still hold
// that open, but is never entered.
int open_after_looking(int folder, const char* name, int flags, mode_t mode) {
  struct statx home {};
  struct statx there {};
  if (!look_quietly(folder, "", kQuietLookAtDescriptor, home)) return -1;
  if (look_quietly(folder, name, kQuietLook, there)) {
    if (!on_same_mount(home, there)) {
      errno = EXDEV;
      return -1;
    }
  } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
    return -1;
  }
  ScopedFd fd(::openat(folder, name, flags, mode));
  if (fd.get() < 0 || !look_quietly(fd.get(), "", kQuietLookAtDescriptor, there)) return -1;
  if (!on_same_mount(home, there)) {
    errno = EXDEV;
    return -1;
  }
  return fd.release();
}

/// openat for a name in a folder below a root: fails with EXDEV, without asking that file
/// system anything, when the name lies on another one.
int open_on_same_mount(int folder, const char* name, int flags, mode_t mode = 0) {
  static std::atomic<bool> kernel_has_openat2{true};
  if (kernel_has_openat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_NO_XDEV;
    const long fd = ::syscall(SYS_openat2, folder, name, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    kernel_has_openat2.store(false, std::memory_order_relaxed);
  }
  return open_after_looking(folder, name, flags, mode);
}

int plain_openat(int folder, const char* name, int flags, mode_t mode) {
  return ::openat(folder, name, flags, mode);
}

// d_type spares a stat on the file systems that fill it. A link is reported as the link itself,
// never as its target, just as a Windows listing reports a reparse point. Where the type must be
// asked, it is asked quietly: the name may have a hung file system mounted on it.
Result<std::uint32_t> listed_attributes(int folder_fd, const char* name, unsigned char type) {
  switch (type) {
    case DT_LNK:
      return kAttrReparsePoint;
    case DT_DIR:
      return kAttrDirectory;
    case DT_UNKNOWN:
      break;
    default:
      return kAttrNormal;
  }
  Result<struct statx> status = quiet_look(folder_fd, name);
  if (!status) return std::move(status).error();
  return attributes_of_mode(status->stx_mode);
}

void fill_entry(std::string_view name, std::uint32_t attributes, DirEntry& entry) {
  entry.name.assign(name);
  entry.attributes = attributes;
  entry.reparse_tag = (attributes & kAttrReparsePoint) != 0 ? kReparseTagSymlink : 0;
}

// The listing of an open folder, read from the folder's own descriptor with getdents64: no
// second open of the folder and no stdio-like buffer per folder. The folder must outlive it.
class FolderListing final : public DirListing {
 public:
  explicit FolderListing(int folder_fd) : fd_(folder_fd) {}

  Result<bool> next(DirEntry& entry) override {
    for (;;) {
      if (position_ == filled_) {
        const ssize_t got = ::getdents64(fd_, buffer_.data(), buffer_.size());
        if (got < 0) {
          if (errno == EINTR) continue;
          return last_os_error();
        }
        if (got == 0) return false;
        filled_ = static_cast<std::size_t>(got);
        position_ = 0;
      }
      const auto* raw = reinterpret_cast<const dirent64*>(buffer_.data() + position_);
      position_ += raw->d_reclen;
      const std::string_view name = raw->d_name;
      if (name == "." || name == "..") continue;
      auto attributes = listed_attributes(fd_, raw->d_name, raw->d_type);
      if (!attributes) {
        if (attributes.error().is_not_found()) continue;
        return std::move(attributes).error();
      }
      fill_entry(name, *attributes, entry);
      return true;
    }
  }

 private:
  int fd_;
  alignas(dirent64) std::array<char, 32 * 1024> buffer_;
  std::size_t filled_ = 0;
  std::size_t position_ = 0;
};

Result<void> write_whole(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (written == 0) return Error("failed to write whole buffer");
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  Result<void> write_all(std::string_view data) override { return write_whole(fd_.get(), data); }

 private:
  ScopedFd fd_;
};

// Root, and the account the service runs as, are the administrators here.
bool is_administrator_account(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

Owner owner_of(const struct stat& status) {
  return Owner{is_administrator_account(status.st_uid), std::to_string(status.st_uid)};
}

// Group write lets the file's group change it, and a group may hold anybody.
Trust trust_of(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return Trust::Link;
  if (!is_administrator_account(status.st_uid)) return Trust::OtherOwner;
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Trust::OpenToOthers;
  return Trust::Administrators;
}

// The service's folders are 0755 and its files 0644 whatever the umask, so that only its own
// account may change them.
constexpr mode_t kAdministratorsFolderMode = 0755;
constexpr mode_t kAdministratorsFileMode = 0644;

// Created 0700 (the umask can only take bits away), so that nobody slips a file in before the
// mode is set.
Result<void> create_administrators_folder(int parent, const char* name) {
  if (::mkdirat(parent, name, 0700) != 0) return last_os_error();
  ScopedFd fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0 || ::fchmod(fd.get(), kAdministratorsFolderMode) != 0) return last_os_error();
  return {};
}

// The folder's owner becomes the service's account and its mode 0755.
Result<void> restrict_to_administrators(int fd, const struct stat& status) {
  if (status.st_uid != ::geteuid() && ::fchown(fd, ::geteuid(), ::getegid()) != 0) {
    return last_os_error();
  }
  if (::fchmod(fd, kAdministratorsFolderMode) != 0) return last_os_error();
  return {};
}

// O_NOATIME is for the file's owner only; anyone else reads the way everybody does.
// O_NONBLOCK keeps the open of a FIFO (anyone may give one the name desktop.ini) from waiting
// for a writer forever; a regular file reads the same with it.
using OpenAt = int (*)(int folder, const char* name, int flags, mode_t mode);

int open_for_reading(int folder, const char* name, int flags, OpenAt open = plain_openat) {
  const int fd = open(folder, name, flags | kNoAccessTime, 0);
  if (fd >= 0 || errno != EPERM || kNoAccessTime == 0) return fd;
  return open(folder, name, flags, 0);
}

// Reads from the start until the end, `limit` bytes or, when the size is known, that many bytes
// (no further call is made to find the end of a file whose size was asked). Memory grows with
// what arrives, never with a size the file claims.
Result<std::string> read_bounded(int fd, std::size_t limit, std::size_t known_size) {
  std::string content;
  std::array<char, kReadPiece> piece;
  while (content.size() < limit) {
    const std::size_t want = std::min(piece.size(), limit - content.size());
    const ssize_t got = ::pread(fd, piece.data(), want, static_cast<off_t>(content.size()));
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (got == 0) break;
    content.append(piece.data(), static_cast<std::size_t>(got));
    if (known_size != 0 && content.size() >= known_size) break;
  }
  return content;
}

// The error for a name that is not what an open below a root asked for: the link O_NOFOLLOW
// refused, or something that is not a folder where a folder was asked.
Error open_error_below_root() {
  const int code = errno;
  if (code == ELOOP || code == ENOTDIR) {
    return os_error(static_cast<std::uint32_t>(code), ErrorKind::WrongType);
  }
  return os_error(static_cast<std::uint32_t>(code));
}

Error replaced_error() {
  return Error("the name no longer holds the file that was opened", ErrorKind::WrongType);
}

// POSIX renames names, not files: a name is acted on only after checking that it still holds
// the file that was opened.
Result<void> check_named(int folder, const std::string& name, const struct stat& expected) {
  struct stat named {};
  if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return last_os_error();
  if (id_of(named) != id_of(expected)) return replaced_error();
  return {};
}

// What renameat2 answers where the file system (or the kernel) lacks a flag.
bool rename_flag_unsupported(int code) { return code == EINVAL || code == ENOSYS; }

// renameat2(RENAME_NOREPLACE); where the file system lacks it, a second name made with linkat
// (which never replaces either) and the first one taken away.
Result<void> rename_without_replacing(int folder, const std::string& from, const std::string& to,
                                      const struct stat& expected) {
  if (auto same = check_named(folder, from, expected); !same) return same;
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (!rename_flag_unsupported(errno)) return last_os_error();
  if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return last_os_error();
  if (check_named(folder, from, expected) && ::unlinkat(folder, from.c_str(), 0) != 0) {
    return last_os_error();
  }
  return {};
}

// The file is given its mode and attributes before it has a name, so that no instant shows it
// without them: an unnamed file (O_TMPFILE) linked in through its entry in /proc, which links
// exactly this file and never replaces a name (it costs no more than a plain create). Where the
// file system has no unnamed files, or /proc is missing, it is created by its name and given
// them at once, before anything is written.
Result<ScopedFd> create_with_attributes(int folder, const char* name, std::uint32_t attributes) {
  const auto finish = [attributes](int fd) -> Result<void> {
    if (::fchmod(fd, kAdministratorsFileMode) != 0) return last_os_error();
    auto status = stat_descriptor(fd);
    if (!status) return std::move(status).error();
    return set_attributes_of(Inode::of_descriptor(fd), *status, attributes);
  };
#if defined(O_TMPFILE)
  ScopedFd unnamed(
      ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kAdministratorsFileMode));
  if (unnamed.get() >= 0) {
    if (auto made = finish(unnamed.get()); !made) return made.error();
    const std::string entry = "/proc/self/fd/" + std::to_string(unnamed.get());
    if (::linkat(AT_FDCWD, entry.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return unnamed;
    if (errno != ENOENT) return last_os_error();
  } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return last_os_error();
  }
#endif
  // O_EXCL also refuses a dangling link: nothing that has the name is ever written through.
  ScopedFd named(
      ::openat(folder, name, kFileWriteFlags | O_CREAT | O_EXCL, kAdministratorsFileMode));
  if (named.get() < 0) return last_os_error();
  if (auto made = finish(named.get()); !made) {
    ::unlinkat(folder, name, 0);
    return made.error();
  }
  return named;
}

FileTime file_time_of(const struct timespec& time) {
  constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
  return FileTime{static_cast<std::int64_t>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec};
}

struct timespec timespec_of(FileTime time) {
  constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
  std::int64_t seconds = time.value / kNanosecondsPerSecond;
  std::int64_t nanoseconds = time.value % kNanosecondsPerSecond;
  if (nanoseconds < 0) {
    seconds -= 1;
    nanoseconds += kNanosecondsPerSecond;
  }
  struct timespec converted {};
  converted.tv_sec = static_cast<time_t>(seconds);
  converted.tv_nsec = static_cast<long>(nanoseconds);
  return converted;
}

/// A file opened as itself in an open folder. The folder's descriptor must outlive it.
class PosixOpenFile final : public OpenFile {
 public:
  PosixOpenFile(int folder_fd, std::string name, ScopedFd fd, bool writable)
      : folder_fd_(folder_fd), name_(std::move(name)), fd_(std::move(fd)), writable_(writable) {}

  Result<OpenFileInfo> info() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    known_size_ = S_ISREG(status->st_mode) ? static_cast<std::size_t>(status->st_size) : 0;
    OpenFileInfo info;
    info.regular = S_ISREG(status->st_mode);
    info.size = static_cast<std::uint64_t>(status->st_size);
    info.link_count = static_cast<std::uint32_t>(status->st_nlink);
    info.id = id_of(*status);
    return info;
  }

  Result<std::string> read(std::size_t limit) override {
    return read_bounded(fd_.get(), limit, known_size_);
  }

  // Root passes every permission check, and Windows refuses to open a READONLY file for writing
  // even for administrators, so the refusal is made here rather than left to open(2). The write
  // descriptor comes from the name, so it must turn out to be this very file.
  Result<void> truncate() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    if (!has_write_bit(*status)) return os_error(EACCES);
    if (!writable_) {
      ScopedFd writer(open_on_same_mount(folder_fd_, name_.c_str(), kFileWriteFlags));
      if (writer.get() < 0) return open_error_below_root();
      if (auto same = check_same_file(writer.get(), *status); !same) return same;
      fd_ = std::move(writer);
      writable_ = true;
    }
    if (::ftruncate(fd_.get(), 0) != 0) return last_os_error();
    return {};
  }

  Result<void> write_all(std::string_view data) override { return write_whole(fd_.get(), data); }

  Result<void> set_attributes(std::uint32_t attributes) override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    return set_attributes_of(Inode::of_descriptor(fd_.get()), *status, attributes);
  }

  Result<std::uint32_t> attributes() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    return attributes_of(Inode::of_descriptor(fd_.get()), *status);
  }

  // POSIX deletes names, not files: the name is unlinked only while it still holds this file.
  // unlink ignores the file's own mode, which is the READONLY the service must get past.
  Result<void> remove() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    Result<struct statx> named = quiet_look(folder_fd_, name_.c_str());
    if (!named) return std::move(named).error();
    if (id_of(*named) != id_of(*status)) return replaced_error();
    if (::unlinkat(folder_fd_, name_.c_str(), 0) != 0) return last_os_error();
    return {};
  }

  Result<void> rename_to(std::string_view name) override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    std::string target(name);
    if (auto renamed = rename_without_replacing(folder_fd_, name_, target, *status); !renamed) {
      return renamed;
    }
    name_ = std::move(target);
    return {};
  }

  // renameat2(RENAME_EXCHANGE) swaps the two names in one step; what then bears this file's
  // former name must be the judged file, or somebody swapped the name since the check, and the
  // exchange is undone. Where the file system cannot exchange names, the judged file is set
  // aside first and this one takes the free name, neither replacing anything.
  Result<void> take_place_of(OpenFile& judged, std::string_view aside) override {
    auto& other = static_cast<PosixOpenFile&>(judged);
    if (other.folder_fd_ != folder_fd_) return Error("the files lie in different folders");
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    auto other_status = stat_descriptor(other.fd_.get());
    if (!other_status) return std::move(other_status).error();
    if (!has_write_bit(*other_status)) return os_error(EACCES);
    if (auto same = check_named(folder_fd_, name_, *status); !same) return same;
    if (auto same = check_named(folder_fd_, other.name_, *other_status); !same) return same;

    if (::renameat2(folder_fd_, name_.c_str(), folder_fd_, other.name_.c_str(), RENAME_EXCHANGE) ==
        0) {
      if (!check_named(folder_fd_, name_, *other_status)) {
        ::renameat2(folder_fd_, name_.c_str(), folder_fd_, other.name_.c_str(), RENAME_EXCHANGE);
        return replaced_error();
      }
      std::swap(name_, other.name_);
      return {};
    }
    if (!rename_flag_unsupported(errno)) return last_os_error();
    std::string place = other.name_;
    if (auto set_aside = other.rename_to(aside); !set_aside) return set_aside;
    if (auto taken = rename_to(place); !taken) {
      static_cast<void>(other.rename_to(place));
      return taken;
    }
    return {};
  }

 private:
  static Result<void> check_same_file(int fd, const struct stat& expected) {
    auto status = stat_descriptor(fd);
    if (!status) return std::move(status).error();
    if (id_of(*status) != id_of(expected)) return replaced_error();
    return {};
  }

  int folder_fd_;
  std::string name_;
  ScopedFd fd_;
  bool writable_;
  std::size_t known_size_ = 0;
};

/// A folder opened as itself: everything below it is reached through its descriptor.
class PosixFolder final : public Folder {
 public:
  PosixFolder(ScopedFd fd, bool listable) : fd_(std::move(fd)), listable_(listable) {}

  int descriptor() const { return fd_.get(); }

  Result<FileId> id() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    return id_of(*status);
  }

  // A folder's bits all live in the extended attribute, so no stat is needed.
  Result<std::uint32_t> attributes() override {
    auto stored = read_dos_attrib(Inode::of_descriptor(fd_.get()));
    if (!stored) return std::move(stored).error();
    return kAttrDirectory | (*stored & kFolderStoredBits);
  }

  Result<void> set_attributes(std::uint32_t attributes) override {
    return set_folder_attributes(Inode::of_descriptor(fd_.get()), attributes);
  }

  // Every listing starts from the first entry, also a second one of the same folder; a new
  // descriptor is there already, which spares a walk a call per folder.
  Result<std::unique_ptr<DirListing>> open_listing() override {
    if (!listable_) return os_error(EACCES);
    if (listed_ && ::lseek(fd_.get(), 0, SEEK_SET) < 0) return last_os_error();
    listed_ = true;
    return std::unique_ptr<DirListing>(std::make_unique<FolderListing>(fd_.get()));
  }

  Result<std::unique_ptr<Folder>> open_subfolder(std::string_view name) override {
    return open_folder_at(fd_.get(), std::string(name).c_str());
  }

  Result<std::unique_ptr<Folder>> open_parent() override { return open_folder_at(fd_.get(), ".."); }

  // The kernel keeps the path by which the descriptor was opened, links resolved, and shows it
  // as the target of the descriptor's entry in /proc; it fails for a path longer than a page.
  Result<Path> final_path() override {
    const std::string entry = "/proc/self/fd/" + std::to_string(fd_.get());
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
    if (length < 0) return last_os_error();
    if (static_cast<std::size_t>(length) == target.size()) return os_error(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(length));
    return Path(std::move(target));
  }

  Result<std::unique_ptr<OpenFile>> open_file(std::string_view name) override {
    std::string owned(name);
    ScopedFd fd(open_for_reading(fd_.get(), owned.c_str(), kFileReadFlags, open_on_same_mount));
    if (fd.get() < 0) return open_error_below_root();
    return std::unique_ptr<OpenFile>(
        std::make_unique<PosixOpenFile>(fd_.get(), std::move(owned), std::move(fd), false));
  }

  Result<std::unique_ptr<OpenFile>> create_file_with_attributes(std::string_view name,
                                                                std::uint32_t attributes) override {
    std::string owned(name);
    auto created = create_with_attributes(fd_.get(), owned.c_str(), attributes);
    if (!created) return std::move(created).error();
    return std::unique_ptr<OpenFile>(std::make_unique<PosixOpenFile>(
        fd_.get(), std::move(owned), std::move(created).value(), true));
  }

  Result<FileTime> last_write_time() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    return file_time_of(status->st_mtim);
  }

  // The access time stays as it is.
  Result<void> set_last_write_time(FileTime time) override {
    const struct timespec times[2] = {{0, UTIME_OMIT}, timespec_of(time)};
    if (::futimens(fd_.get(), times) != 0) return last_os_error();
    return {};
  }

  // O_EXCL also refuses a dangling link: nothing that has the name is ever written through.
  Result<std::unique_ptr<OpenFile>> create_file(std::string_view name) override {
    std::string owned(name);
    ScopedFd fd(open_on_same_mount(fd_.get(), owned.c_str(), kFileWriteFlags | O_CREAT | O_EXCL,
                                   kAdministratorsFileMode));
    if (fd.get() < 0) return last_os_error();
    if (::fchmod(fd.get(), kAdministratorsFileMode) != 0) return last_os_error();
    return std::unique_ptr<OpenFile>(
        std::make_unique<PosixOpenFile>(fd_.get(), std::move(owned), std::move(fd), true));
  }

  Result<Owner> owner() override {
    auto status = stat_descriptor(fd_.get());
    if (!status) return std::move(status).error();
    return owner_of(*status);
  }

  // A folder is opened as the walks open one, which also mounts what an automounter keeps
  // there. Anything else, a link above all, is opened as itself with O_PATH, so that its owner
  // and target come from the link that was judged, not from whatever bears its name a moment
  // later; so is a folder that may be searched but not read.
  Result<FolderStep> open_step(std::string_view name) override {
    const std::string owned(name);
    ScopedFd fd(::openat(fd_.get(), owned.c_str(), kFolderFlags));
    const bool listable = fd.get() >= 0;
    if (!listable && errno != ENOENT) {
      fd = ScopedFd(::openat(fd_.get(), owned.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    if (fd.get() < 0) return last_os_error();
    auto status = stat_descriptor(fd.get());
    if (!status) return std::move(status).error();
    FolderStep step;
    step.owner = owner_of(*status);
    if (S_ISLNK(status->st_mode)) {
      step.kind = FolderStep::Kind::Link;
      auto on_proc = is_on_process_file_system();
      if (!on_proc) return std::move(on_proc).error();
      if (*on_proc) return step;
      auto target = read_link(fd.get());
      if (!target) return std::move(target).error();
      step.link_target = std::move(*target);
    } else if (S_ISDIR(status->st_mode)) {
      step.kind = FolderStep::Kind::Folder;
      step.folder = std::make_unique<PosixFolder>(std::move(fd), listable);
    }
    return step;
  }

  /// Opens the folder `name` relative to `base`, following a link only where asked (a root,
  /// which may also lie on any file system); a folder below a root only on base's own.
  static Result<std::unique_ptr<Folder>> open_folder_at(int base, const char* name,
                                                        bool follow_link = false) {
    const int no_follow = follow_link ? O_NOFOLLOW : 0;
    const OpenAt open = follow_link ? plain_openat : open_on_same_mount;
    ScopedFd fd(open(base, name, kFolderFlags & ~no_follow, 0));
    bool listable = true;
    // A folder that may be searched but not read can still lead to the names in it.
    if (fd.get() < 0 && errno == EACCES) {
      fd = ScopedFd(open(base, name, kSearchOnlyFolderFlags & ~no_follow, 0));
      listable = false;
    }
    if (fd.get() < 0) return open_error_below_root();
    return std::unique_ptr<Folder>(std::make_unique<PosixFolder>(std::move(fd), listable));
  }

 private:
  // The links of /proc name what a process sees (/proc/PID/cwd leads into its mount namespace,
  // where a user may have mounted anything over anything); a path through them is no path.
  Result<bool> is_on_process_file_system() const {
    constexpr decltype(statfs::f_type) kProcSuperMagic = 0x9fa0;
    struct statfs file_system {};
    if (::fstatfs(fd_.get(), &file_system) != 0) return last_os_error();
    return file_system.f_type == kProcSuperMagic;
  }

  // readlinkat with an empty name reads the link the descriptor holds.
  static Result<std::string> read_link(int link_fd) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(link_fd, "", target.data(), target.size());
    if (length < 0) return last_os_error();
    if (static_cast<std::size_t>(length) == target.size()) return os_error(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(length));
    return target;
  }

  ScopedFd fd_;
  bool listable_;
  bool listed_ = false;
};

class PosixFileSystem final : public FileSystem {
 public:
  // Links are followed: only paths the service trusts whole come here (see the interface).
  Result<std::unique_ptr<Folder>> open_folder(const Path& folder) override {
    return at(folder, [](const Location& location) -> Result<std::unique_ptr<Folder>> {
      return PosixFolder::open_folder_at(location.folder, location.rest, true);
    });
  }

  Result<std::uint32_t> get_attributes(const Path& path) override {
    return at(path, [](const Location& location) -> Result<std::uint32_t> {
      auto status = stat_following_links(location);
      if (!status) return std::move(status).error();
      return attributes_of(Inode::at(location), *status);
    });
  }

  Result<void> set_attributes(const Path& path, std::uint32_t attributes) override {
    return at(path, [attributes](const Location& location) -> Result<void> {
      auto status = stat_following_links(location);
      if (!status) return std::move(status).error();
      return set_attributes_of(Inode::at(location), *status, attributes);
    });
  }

  Result<std::string> read_file(const Path& path, std::size_t limit) override {
    return at(path, [limit](const Location& location) -> Result<std::string> {
      constexpr int kRead = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
      ScopedFd fd(open_for_reading(location.folder, location.rest, kRead));
      if (fd.get() < 0) return last_os_error();
      auto status = stat_descriptor(fd.get());
      if (!status) return std::move(status).error();
      if (S_ISDIR(status->st_mode)) return os_error(EISDIR);
      // Only a regular file has content to read; a FIFO or a device has none of its own.
      if (!S_ISREG(status->st_mode)) return os_error(EINVAL);
      return read_bounded(fd.get(), limit, static_cast<std::size_t>(status->st_size));
    });
  }

  // Root passes every permission check, and Windows refuses to open a READONLY file for writing
  // even for administrators, so the refusal is made here rather than left to open(2). A file
  // that is not there yet (every file of a first scan) is created without looking first.
  Result<std::unique_ptr<WritableFile>> create_or_truncate(const Path& path) override {
    return at(path, [](const Location& location) -> Result<std::unique_ptr<WritableFile>> {
      // O_NONBLOCK: a FIFO in the file's place is an error (no reader), never a wait.
      constexpr int kWrite = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
      int fd = ::openat(location.folder, location.rest, kWrite | O_EXCL, kAdministratorsFileMode);
      if (fd >= 0 && ::fchmod(fd, kAdministratorsFileMode) != 0) {
        const Error error = last_os_error();
        ::close(fd);
        return error;
      }
      if (fd < 0 && errno == EEXIST) {
        struct stat status {};
        if (::fstatat(location.folder, location.rest, &status, 0) == 0 && S_ISREG(status.st_mode) &&
            !has_write_bit(status)) {
          return os_error(EACCES);
        }
        fd = ::openat(location.folder, location.rest, kWrite | O_TRUNC, 0666);
      }
      if (fd < 0) return last_os_error();
      return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
    });
  }

  // unlink ignores the file's own mode, which is the READONLY the service must get past.
  Result<void> delete_file(const Path& path) override {
    return at(path, [](const Location& location) -> Result<void> {
      if (::unlinkat(location.folder, location.rest, 0) != 0) return last_os_error();
      return {};
    });
  }

  Result<FileType> file_type(const Path& path) override {
    return at(path, [](const Location& location) -> Result<FileType> {
      auto status = stat_following_links(location);
      if (!status) return std::move(status).error();
      if (S_ISREG(status->st_mode)) return FileType::File;
      if (S_ISDIR(status->st_mode)) return FileType::Directory;
      return FileType::Other;
    });
  }

  Result<Trust> trust(const Path& path) override {
    return at(path, [](const Location& location) -> Result<Trust> {
      struct stat status {};
      if (::fstatat(location.folder, location.rest, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return last_os_error();
      }
      return trust_of(status);
    });
  }

  // The parent is opened the way every path the service is given is; the folder itself is looked
  // at without following a link, and changed through its own descriptor.
  Result<Trust> secure_folder(const Path& folder) override {
    const Path parent = folder.parent();
    if (auto made = create_folders(parent.empty() ? Path(".") : parent); !made) return made.error();
    auto opened = open_folder(parent.empty() ? Path(".") : parent);
    if (!opened) return std::move(opened).error();
    const int parent_fd = static_cast<PosixFolder&>(**opened).descriptor();
    const std::string name(folder.file_name());
    struct stat status {};
    if (::fstatat(parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return last_os_error();
      if (auto created = create_administrators_folder(parent_fd, name.c_str()); !created) {
        return created.error();
      }
      return Trust::Administrators;
    }
    if (S_ISLNK(status.st_mode)) {
      // The link goes, never what it points at.
      if (::unlinkat(parent_fd, name.c_str(), 0) != 0) return last_os_error();
      if (auto created = create_administrators_folder(parent_fd, name.c_str()); !created) {
        return created.error();
      }
      return Trust::Link;
    }
    ScopedFd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return open_error_below_root();
    auto current = stat_descriptor(fd.get());
    if (!current) return std::move(current).error();
    const Trust found = trust_of(*current);
    if (found != Trust::Administrators) {
      if (auto restricted = restrict_to_administrators(fd.get(), *current); !restricted) {
        return restricted.error();
      }
    }
    return found;
  }

  // The descriptor that was judged is the one that is read. O_NOFOLLOW refuses a link at the end
  // (ELOOP, which a loop of links on the way gives as well, so the name is asked what it is).
  Result<TrustedRead> read_trusted(const Path& path, std::size_t limit) override {
    return at(path, [limit](const Location& location) -> Result<TrustedRead> {
      ScopedFd fd(open_for_reading(location.folder, location.rest, kFileReadFlags));
      if (fd.get() < 0) {
        const int code = errno;
        struct stat named {};
        if (code == ELOOP &&
            ::fstatat(location.folder, location.rest, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(named.st_mode)) {
          return TrustedRead{Trust::Link, std::string()};
        }
        return os_error(static_cast<std::uint32_t>(code));
      }
      auto status = stat_descriptor(fd.get());
      if (!status) return std::move(status).error();
      TrustedRead judged{trust_of(*status), std::string()};
      if (judged.trust != Trust::Administrators) return judged;
      if (S_ISDIR(status->st_mode)) {
        judged.content = os_error(EISDIR);
      } else if (!S_ISREG(status->st_mode)) {
        // A FIFO or a device has no content of its own.
        judged.content = os_error(EINVAL);
      } else {
        judged.content = read_bounded(fd.get(), limit, static_cast<std::size_t>(status->st_size));
      }
      return judged;
    });
  }

  // O_EXCL also refuses a dangling link; the mode is set again because the umask takes bits.
  Result<std::unique_ptr<WritableFile>> create_new_file(const Path& path) override {
    return at(path, [](const Location& location) -> Result<std::unique_ptr<WritableFile>> {
      ScopedFd fd(::openat(location.folder, location.rest, kFileWriteFlags | O_CREAT | O_EXCL,
                           kAdministratorsFileMode));
      if (fd.get() < 0) return last_os_error();
      if (::fchmod(fd.get(), kAdministratorsFileMode) != 0) return last_os_error();
      return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd.release()));
    });
  }

  // Every entry is looked at through the folder's descriptor and changed through its own, or
  // removed by name only while the name still holds what was judged. One entry that cannot be
  // dealt with does not stop the others; the first failure is returned at the end.
  Result<std::vector<RemovedEntry>> secure_folder_files(const Path& folder) override {
    auto opened = open_folder(folder);
    if (!opened) return std::move(opened).error();
    const int folder_fd = static_cast<PosixFolder&>(**opened).descriptor();
    FolderListing listing(folder_fd);
    std::vector<RemovedEntry> removed;
    std::optional<Error> failure;
    DirEntry entry;
    for (;;) {
      Result<bool> next = listing.next(entry);
      if (!next) return std::move(next).error();
      if (!*next) break;
      if ((entry.attributes & kAttrDirectory) != 0) continue;
      Result<std::optional<Trust>> done = secure_file_in(folder_fd, entry.name);
      if (!done) {
        if (!failure) failure = std::move(done).error();
      } else if (*done) {
        removed.push_back(RemovedEntry{entry.name, **done});
      }
    }
    if (failure) return *failure;
    return removed;
  }

  Result<void> create_folders(const Path& folder) override {
    return create_folders_one_by_one(folder, [this](const Path& one) { return make_folder(one); });
  }

  Result<void> replace_file(const Path& source, const Path& target) override {
    if (!is_long(source) && !is_long(target)) {
      release_anchors();
      if (::rename(source.bytes().c_str(), target.bytes().c_str()) != 0) return last_os_error();
      return {};
    }
    // The source's folder stays open while the target is located, which may move the anchors.
    std::lock_guard<std::mutex> lock(anchors_mutex_);
    has_anchors_.store(true, std::memory_order_relaxed);
    auto from = anchors_.locate(source.bytes());
    if (!from) return std::move(from).error();
    ScopedFd from_folder(from->folder == AT_FDCWD ? -1 : ::fcntl(from->folder, F_DUPFD_CLOEXEC, 0));
    if (from->folder != AT_FDCWD && from_folder.get() < 0) return last_os_error();
    auto to = anchors_.locate(target.bytes());
    if (!to) return std::move(to).error();
    const int from_at = from->folder == AT_FDCWD ? AT_FDCWD : from_folder.get();
    if (::renameat(from_at, from->rest, to->folder, to->rest) != 0) return last_os_error();
    return {};
  }

 private:
  static bool is_long(const Path& path) { return path.bytes().size() >= kLongPathBytes; }

  // Runs `call` on where the path is: a short path as it stands, a long one through the anchors.
  template <class Call>
  auto at(const Path& path, Call call) -> decltype(call(Location{})) {
    if (!is_long(path)) {
      release_anchors();
      return call(Location{AT_FDCWD, path.bytes().c_str()});
    }
    std::lock_guard<std::mutex> lock(anchors_mutex_);
    has_anchors_.store(true, std::memory_order_relaxed);
    auto location = anchors_.locate(path.bytes());
    if (!location) return std::move(location).error();
    return call(*location);
  }

  // A short path means the calls have left the long one, so its descriptors go.
  void release_anchors() {
    if (!has_anchors_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(anchors_mutex_);
    anchors_.clear();
    has_anchors_.store(false, std::memory_order_relaxed);
  }

  // One file of a folder being secured: made the service's account's and 0644 when it counts,
  // removed otherwise, and then what it was is returned. A link is removed as itself.
  static Result<std::optional<Trust>> secure_file_in(int folder_fd, const std::string& name) {
    struct stat named {};
    if (::fstatat(folder_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return std::optional<Trust>();
      return last_os_error();
    }
    if (S_ISDIR(named.st_mode)) return std::optional<Trust>();
    const Trust found = trust_of(named);
    if (found != Trust::Administrators) {
      // What is removed must be what was judged, not something that took the name since.
      if (auto same = name_still_holds(folder_fd, name, named); !same) return same.error();
      if (::unlinkat(folder_fd, name.c_str(), 0) != 0) return last_os_error();
      return std::optional<Trust>(found);
    }
    ScopedFd fd(::openat(folder_fd, name.c_str(), kFileReadFlags));
    if (fd.get() < 0) return last_os_error();
    auto status = stat_descriptor(fd.get());
    if (!status) return std::move(status).error();
    if (id_of(*status) != id_of(named)) return replaced_since_judged();
    if (auto restricted = restrict_file(fd.get(), *status); !restricted) return restricted.error();
    return std::optional<Trust>();
  }

  static Error replaced_since_judged() {
    return Error("the name no longer holds the file that was judged", ErrorKind::WrongType);
  }

  static Result<void> name_still_holds(int folder_fd, const std::string& name,
                                       const struct stat& judged) {
    struct stat now {};
    if (::fstatat(folder_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return last_os_error();
    if (id_of(now) != id_of(judged)) return replaced_since_judged();
    return {};
  }

  // The owner becomes the service's account and the mode that of the files it writes.
  static Result<void> restrict_file(int fd, const struct stat& status) {
    if ((status.st_uid != ::geteuid() || status.st_gid != ::getegid()) &&
        ::fchown(fd, ::geteuid(), ::getegid()) != 0) {
      return last_os_error();
    }
    if ((status.st_mode & 07777) != kAdministratorsFileMode &&
        ::fchmod(fd, kAdministratorsFileMode) != 0) {
      return last_os_error();
    }
    return {};
  }

  // mkdir's EEXIST says only that a name is taken: a folder (or a link to one) is the success of
  // "create if missing", anything else stands in the way. ErrorKind::NotFound when a folder
  // above it is missing (on a long path the locating may already find that).
  Result<void> make_folder(const Path& folder) {
    return at(folder, [](const Location& location) -> Result<void> {
      if (::mkdirat(location.folder, location.rest, 0777) == 0) return {};
      const int error = errno;
      if (error != EEXIST) return os_error(static_cast<std::uint32_t>(error));
      auto status = stat_following_links(location);
      if (status && S_ISDIR(status->st_mode)) return {};
      return os_error(EEXIST);
    });
  }

  std::mutex anchors_mutex_;
  std::atomic<bool> has_anchors_{false};
  LongPathAnchors anchors_;
};

}  // namespace

FileSystem& real_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

int folder_descriptor(Folder& folder) {
  auto* posix = dynamic_cast<PosixFolder*>(&folder);
  return posix != nullptr ? posix->descriptor() : -1;
}

}  // namespace tindral::platform
