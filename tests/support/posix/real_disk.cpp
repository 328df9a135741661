// Real-disk helpers for POSIX, written with the system calls directly so that they never go
// through the file-system layer they help to test.

#include "support/real_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tindral::test_support {

namespace {

std::string errno_text() { return std::strerror(errno); }

// The kernel refuses a whole path of PATH_MAX bytes or more, so the helpers reach into a long
// one a folder at a time, by their own simple means rather than the layer's under test.
constexpr std::size_t kWholePathBytes = 2048;

/// The folder holding a path's last component, open (or the working folder), and that name.
class ParentFolder {
 public:
  explicit ParentFolder(const Path& path) {
    const std::string& bytes = path.bytes();
    if (bytes.size() < kWholePathBytes) {
      name_ = bytes;
      return;
    }
    const std::size_t last = bytes.find_last_of('/');
    name_ = bytes.substr(last + 1);
    fd_ = ::open(bytes[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 0;
    while (fd_ >= 0 && start < last) {
      const std::size_t end = std::min(bytes.find('/', start), last);
      if (end > start) {
        const int next = ::openat(fd_, bytes.substr(start, end - start).c_str(),
                                  O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd_);
        fd_ = next;
      }
      start = end + 1;
    }
  }
  ~ParentFolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  ParentFolder(const ParentFolder&) = delete;
  ParentFolder& operator=(const ParentFolder&) = delete;

  /// AT_FDCWD for a short path; -1 when a folder on the way could not be opened.
  int fd() const { return fd_; }
  const char* name() const { return name_.c_str(); }

 private:
  int fd_ = AT_FDCWD;
  std::string name_;
};

std::string temp_base() {
  if (const char* configured = std::getenv("TINDRAL_TEST_TMP"); configured && *configured) {
    return configured;
  }
  return std::filesystem::temp_directory_path().string();
}

struct Child {
  std::string name;
  bool is_folder;
};

// The entries of the open folder `fd`, "." and ".." left out; links are not folders.
std::vector<Child> children_of(int fd, const std::string& shown_as) {
  std::vector<Child> children;
  DIR* dir = ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot list " << shown_as << ": " << errno_text();
    return children;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    const bool folder =
        ::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
    children.push_back(Child{std::string(name), folder});
  }
  ::closedir(dir);
  return children;
}

// A folder whose own mode a test took away gets its owner's full access back, so that it can
// be listed and emptied.
void allow_owner(int parent_fd, const char* name) {
  struct stat status {};
  if (::fstatat(parent_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      (status.st_mode & S_IRWXU) != S_IRWXU) {
    ::fchmodat(parent_fd, name, (status.st_mode & 07777) | S_IRWXU, 0);
  }
}

// Deletes the files of the open folder `fd` and returns the name of one subfolder left, or "".
std::string delete_files_in(int fd, const std::string& shown_as) {
  std::string subfolder;
  for (const Child& child : children_of(fd, shown_as)) {
    if (child.is_folder) {
      subfolder = child.name;
    } else if (::unlinkat(fd, child.name.c_str(), 0) != 0) {
      ADD_FAILURE() << "cannot remove " << child.name << " in " << shown_as << ": " << errno_text();
    }
  }
  return subfolder;
}

}  // namespace

// The folder is created with mkdtemp so that parallel test processes never share one.
TempDir::TempDir() {
  const std::string base = temp_base();
  std::error_code ignored;
  std::filesystem::create_directories(base, ignored);
  std::string name = base + "/tindral-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder in " + base + ": " + errno_text());
  }
  path_ = Path(std::move(name));
}

TempDir::~TempDir() { remove_tree(path_); }

void make_folder(const Path& folder) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(folder.bytes()), error);
  if (error) ADD_FAILURE() << "cannot create " << folder.display() << ": " << error.message();
}

void write_bytes(const Path& file, std::string_view bytes) {
  const ParentFolder parent(file);
  const int fd =
      ::openat(parent.fd(), parent.name(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create " << file.display() << ": " << errno_text();
    return;
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ADD_FAILURE() << "cannot write " << file.display() << ": " << errno_text();
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

std::string read_bytes(const Path& file) {
  std::string content;
  const ParentFolder parent(file);
  const int fd = ::openat(parent.fd(), parent.name(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << file.display() << ": " << errno_text();
    return content;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ADD_FAILURE() << "cannot read " << file.display() << ": " << errno_text();
      content.clear();
      break;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

bool path_exists(const Path& path) {
  struct stat status {};
  const ParentFolder parent(path);
  return ::fstatat(parent.fd(), parent.name(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool make_symlink(const Path& target, const Path& link, bool /*target_is_folder*/) {
  if (::symlink(target.bytes().c_str(), link.bytes().c_str()) == 0) return true;
  ADD_FAILURE() << "cannot link " << link.display() << " to " << target.display() << ": "
                << errno_text();
  return false;
}

void rename_entry(const Path& from, const Path& to) {
  if (::rename(from.bytes().c_str(), to.bytes().c_str()) != 0) {
    ADD_FAILURE() << "cannot rename " << from.display() << " to " << to.display() << ": "
                  << errno_text();
  }
}

// A file's READONLY (no write bits) does not stop unlink, and a folder's lives in an extended
// attribute that does not stop rmdir. The walk goes down into each folder and back up through
// "..", holding one descriptor at a time, so that a tree of any depth comes out, one deeper than
// the kernel takes a whole path for included.
void remove_tree(const Path& path) {
  const ParentFolder parent(path);
  struct stat status {};
  if (::fstatat(parent.fd(), parent.name(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) {
      ADD_FAILURE() << "cannot inspect " << path.display() << ": " << errno_text();
    }
    return;
  }
  if (!S_ISDIR(status.st_mode)) {
    if (::unlinkat(parent.fd(), parent.name(), 0) != 0) {
      ADD_FAILURE() << "cannot remove " << path.display() << ": " << errno_text();
    }
    return;
  }
  allow_owner(parent.fd(), parent.name());
  int fd = ::openat(parent.fd(), parent.name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  std::vector<std::string> entered;  // the folders below `path` the walk is in
  while (fd >= 0) {
    const std::string subfolder = delete_files_in(fd, path.display());
    if (!subfolder.empty()) {
      allow_owner(fd, subfolder.c_str());
      const int child =
          ::openat(fd, subfolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) break;
      ::close(fd);
      fd = child;
      entered.push_back(subfolder);
      continue;
    }
    if (entered.empty()) break;
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = up;
    if (fd >= 0 && ::unlinkat(fd, entered.back().c_str(), AT_REMOVEDIR) != 0) break;
    entered.pop_back();
  }
  if (fd >= 0) ::close(fd);
  if (!entered.empty() || ::unlinkat(parent.fd(), parent.name(), AT_REMOVEDIR) != 0) {
    ADD_FAILURE() << "cannot remove " << path.display() << ": " << errno_text();
  }
}

void open_to_everybody(const Path& path) {
  struct stat status {};
  ASSERT_EQ(::lstat(path.bytes().c_str(), &status), 0) << path.display() << ": " << errno_text();
  const mode_t mode = S_ISDIR(status.st_mode) ? 0777 : 0666;
  ASSERT_EQ(::chmod(path.bytes().c_str(), mode), 0) << path.display() << ": " << errno_text();
}

// nobody, the account most systems keep for owning nothing.
bool give_to_another_account(const Path& path) {
  constexpr uid_t kNobody = 65534;
  return ::geteuid() == 0 && ::lchown(path.bytes().c_str(), kNobody, kNobody) == 0;
}

void backdate(const Path& path) {
  constexpr time_t k20010203 = 981158400;
  const struct timespec times[2] = {{k20010203, 0}, {k20010203, 0}};
  if (::utimensat(AT_FDCWD, path.bytes().c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    ADD_FAILURE() << "cannot backdate " << path.display() << ": " << errno_text();
  }
}

platform::FileTime last_write_time(const Path& path) {
  struct stat status {};
  if (::lstat(path.bytes().c_str(), &status) != 0) {
    ADD_FAILURE() << "cannot inspect " << path.display() << ": " << errno_text();
    return {};
  }
  return platform::FileTime{static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                            status.st_mtim.tv_nsec};
}

DeletionBlocker::DeletionBlocker(const Path& file) : path_(file.parent()) {
  struct stat status {};
  if (::geteuid() == 0 || ::stat(path_.bytes().c_str(), &status) != 0) return;
  state_ = status.st_mode & 07777;
  holds_ = ::chmod(path_.bytes().c_str(), static_cast<mode_t>(state_) & ~0222) == 0;
}

DeletionBlocker::~DeletionBlocker() {
  if (holds_) ::chmod(path_.bytes().c_str(), static_cast<mode_t>(state_));
}

}  // namespace tindral::test_support
