// The POSIX file system, shaped after the Win32 calls the service is written for.
//
// Windows attributes that a POSIX file system lacks are kept the way Wine keeps them, so that a
// tree decorated natively and one decorated by the Windows build under Wine look the same:
// HIDDEN, SYSTEM and ARCHIVE in the extended attribute user.DOSATTRIB as ASCII "0x" and lower-case
// hex without a NUL; a file's READONLY as the absence of every write bit in its mode. Wine drops
// READONLY on folders; this layer keeps it in the same extended attribute, because a folder's
// mode must stay writable for the service to put desktop.ini into a read-only folder.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/os_error.h"

namespace tindral::platform {

namespace {

constexpr char kDosAttribName[] = "user.DOSATTRIB";
constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;
// The bits the extended attribute holds: a file's READONLY lives in its mode instead.
constexpr std::uint32_t kFileStoredBits = kAttrHidden | kAttrSystem | kAttrArchive;
constexpr std::uint32_t kFolderStoredBits = kFileStoredBits | kAttrReadonly;

/// Closes a descriptor when it goes out of scope.
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

// A file system without user extended attributes (ENOTSUP) cannot have stored any bits, so
// reading one is the same as reading an absent attribute.
Result<std::uint32_t> read_dos_attrib(const Path& path) {
  char text[256];
  const ssize_t length = ::getxattr(path.bytes().c_str(), kDosAttribName, text, sizeof text);
  if (length >= 0) {
    return parse_dos_attrib(std::string_view(text, static_cast<std::size_t>(length)));
  }
  if (errno == ENODATA || errno == ENOTSUP) return std::uint32_t{0};
  if (errno == ERANGE) return Error("user.DOSATTRIB is too long to be attribute bits");
  return last_os_error();
}

// No bits are stored as no attribute at all, as Wine does. Bits that cannot be stored are an
// error, never dropped as Wine drops them on such file systems.
Result<void> write_dos_attrib(const Path& path, std::uint32_t bits) {
  if (bits == 0) {
    if (::removexattr(path.bytes().c_str(), kDosAttribName) == 0) return {};
    if (errno == ENODATA || errno == ENOTSUP) return {};
    return last_os_error();
  }
  const std::string text = format_dos_attrib(bits);
  if (::setxattr(path.bytes().c_str(), kDosAttribName, text.data(), text.size(), 0) == 0) {
    return {};
  }
  return last_os_error();
}

Result<struct stat> stat_following_links(const Path& path) {
  struct stat status {};
  if (::stat(path.bytes().c_str(), &status) != 0) return last_os_error();
  return status;
}

bool has_write_bit(const struct stat& status) { return (status.st_mode & kAnyWriteBit) != 0; }

Result<void> change_mode(const Path& path, mode_t mode) {
  if (::chmod(path.bytes().c_str(), mode) != 0) return last_os_error();
  return {};
}

Result<void> set_folder_attributes(const Path& folder, std::uint32_t attributes) {
  return write_dos_attrib(folder, attributes & kFolderStoredBits);
}

// The owner may change the extended attribute of a file only while the file is writable, so the
// write bit goes back on first and comes off again last (Wine, which removes it first, loses
// HIDDEN and SYSTEM when both arrive with READONLY in one call).
Result<void> set_file_attributes(const Path& file, const struct stat& status,
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

class PosixDirListing final : public DirListing {
 public:
  explicit PosixDirListing(DIR* dir) : dir_(dir) {}
  ~PosixDirListing() override { ::closedir(dir_); }
  PosixDirListing(const PosixDirListing&) = delete;
  PosixDirListing& operator=(const PosixDirListing&) = delete;

  Result<bool> next(DirEntry& entry) override {
    for (;;) {
      errno = 0;
      const dirent* raw = ::readdir(dir_);
      if (raw == nullptr) {
        if (errno != 0) return last_os_error();
        return false;
      }
      const std::string_view name = raw->d_name;
      if (name == "." || name == "..") continue;

      auto attributes = attributes_of(*raw);
      if (!attributes) {
        // Deleted between readdir and lstat: as if the listing had not seen it.
        if (attributes.error().is_not_found()) continue;
        return std::move(attributes).error();
      }
      entry.name.assign(name);
      entry.attributes = *attributes;
      entry.reparse_tag = (*attributes & kAttrReparsePoint) != 0 ? kReparseTagSymlink : 0;
      return true;
    }
  }

 private:
  static std::uint32_t attributes_of_mode(mode_t mode) {
    if (S_ISLNK(mode)) return kAttrReparsePoint;
    if (S_ISDIR(mode)) return kAttrDirectory;
    return kAttrNormal;
  }

  // d_type spares a stat on the file systems that fill it. A link is reported as the link
  // itself, never as its target, just as a Windows listing reports a reparse point.
  Result<std::uint32_t> attributes_of(const dirent& raw) const {
    switch (raw.d_type) {
      case DT_LNK:
        return kAttrReparsePoint;
      case DT_DIR:
        return kAttrDirectory;
      case DT_UNKNOWN:
        break;
      default:
        return kAttrNormal;
    }
    struct stat status {};
    if (::fstatat(::dirfd(dir_), raw.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return last_os_error();
    }
    return attributes_of_mode(status.st_mode);
  }

  DIR* dir_;
};

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}

  Result<void> write_all(std::string_view data) override {
    while (!data.empty()) {
      const ssize_t written = ::write(fd_.get(), data.data(), data.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return last_os_error();
      }
      if (written == 0) return Error("failed to write whole buffer");
      data.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  }

 private:
  ScopedFd fd_;
};

// The parent of a path, or "" for a single relative component.
Path parent_of(const Path& path) {
  std::string_view bytes = path.bytes();
  while (bytes.size() > 1 && is_separator(bytes.back())) bytes.remove_suffix(1);
  const std::size_t last = bytes.find_last_of(kSeparator);
  if (last == std::string_view::npos) return Path();
  if (last == 0) return Path(std::string(1, kSeparator));
  return Path(std::string(bytes.substr(0, last)));
}

// mkdir's EEXIST says only that a name is taken: a folder (or a link to one) is the success of
// "create if missing", anything else stands in the way.
Result<void> accept_existing_folder(const Path& folder, int mkdir_error) {
  if (mkdir_error != EEXIST) return os_error(static_cast<std::uint32_t>(mkdir_error));
  auto status = stat_following_links(folder);
  if (status && S_ISDIR(status->st_mode)) return {};
  return os_error(EEXIST);
}

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<DirListing>> open_listing(const Path& folder) override {
    DIR* dir = ::opendir(folder.bytes().c_str());
    if (dir == nullptr) return last_os_error();
    return std::unique_ptr<DirListing>(std::make_unique<PosixDirListing>(dir));
  }

  // A file without any bit reports NORMAL, as GetFileAttributesW does.
  Result<std::uint32_t> get_attributes(const Path& path) override {
    auto status = stat_following_links(path);
    if (!status) return std::move(status).error();
    auto stored = read_dos_attrib(path);
    if (!stored) return std::move(stored).error();
    if (S_ISDIR(status->st_mode)) return kAttrDirectory | (*stored & kFolderStoredBits);
    std::uint32_t attributes = *stored & kFileStoredBits;
    if (!has_write_bit(*status)) attributes |= kAttrReadonly;
    return attributes != 0 ? attributes : kAttrNormal;
  }

  Result<void> set_attributes(const Path& path, std::uint32_t attributes) override {
    auto status = stat_following_links(path);
    if (!status) return std::move(status).error();
    if (S_ISDIR(status->st_mode)) return set_folder_attributes(path, attributes);
    return set_file_attributes(path, *status, attributes);
  }

  Result<std::string> read_file(const Path& path) override {
    ScopedFd fd(::open(path.bytes().c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return last_os_error();
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return last_os_error();
    if (S_ISDIR(status.st_mode)) return os_error(EISDIR);

    std::string content;
    if (status.st_size > 0) content.reserve(static_cast<std::size_t>(status.st_size));
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        return last_os_error();
      }
      if (got == 0) return content;
      content.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Root passes every permission check, and Windows refuses to open a READONLY file for writing
  // even for administrators, so the refusal is made here rather than left to open(2).
  Result<std::unique_ptr<WritableFile>> create_or_truncate(const Path& path) override {
    struct stat status {};
    if (::stat(path.bytes().c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        !has_write_bit(status)) {
      return os_error(EACCES);
    }
    const int fd = ::open(path.bytes().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return last_os_error();
    return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
  }

  // unlink ignores the file's own mode, which is the READONLY the service must get past.
  Result<void> delete_file(const Path& path) override {
    if (::unlink(path.bytes().c_str()) != 0) return last_os_error();
    return {};
  }

  Result<FileType> file_type(const Path& path) override {
    auto status = stat_following_links(path);
    if (!status) return std::move(status).error();
    if (S_ISREG(status->st_mode)) return FileType::File;
    if (S_ISDIR(status->st_mode)) return FileType::Directory;
    return FileType::Other;
  }

  // Walks up only as far as folders are missing, then creates them top down.
  Result<void> create_folders(const Path& folder) override {
    std::vector<Path> missing;
    Path current = folder;
    while (::mkdir(current.bytes().c_str(), 0777) != 0) {
      if (errno != ENOENT) {
        if (auto existing = accept_existing_folder(current, errno); !existing) return existing;
        break;
      }
      Path parent = parent_of(current);
      if (parent.empty() || parent == current) return os_error(ENOENT);
      missing.push_back(std::move(current));
      current = std::move(parent);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (::mkdir(it->bytes().c_str(), 0777) == 0) continue;
      if (auto existing = accept_existing_folder(*it, errno); !existing) return existing;
    }
    return {};
  }

  Result<void> replace_file(const Path& source, const Path& target) override {
    if (::rename(source.bytes().c_str(), target.bytes().c_str()) != 0) return last_os_error();
    return {};
  }
};

}  // namespace

FileSystem& real_file_system() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace tindral::platform
