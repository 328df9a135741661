// Real-disk helpers for POSIX, written with the system calls directly so that they never go
// through the file-system layer they help to test.

#include "support/real_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tindral::testing {

namespace {

std::string errno_text() { return std::strerror(errno); }

std::string temp_base() {
  if (const char* configured = std::getenv("TINDRAL_TEST_TMP"); configured && *configured) {
    return configured;
  }
  return std::filesystem::temp_directory_path().string();
}

std::vector<std::string> child_names(const Path& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.bytes().c_str());
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot list " << folder.display() << ": " << errno_text();
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
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
  const int fd = ::open(file.bytes().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
  const int fd = ::open(file.bytes().c_str(), O_RDONLY | O_CLOEXEC);
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
  return ::lstat(path.bytes().c_str(), &status) == 0;
}

bool make_symlink(const Path& target, const Path& link, bool /*target_is_folder*/) {
  if (::symlink(target.bytes().c_str(), link.bytes().c_str()) == 0) return true;
  ADD_FAILURE() << "cannot link " << link.display() << " to " << target.display() << ": "
                << errno_text();
  return false;
}

// A file's READONLY (no write bits) does not stop unlink, and a folder's lives in an extended
// attribute that does not stop rmdir; what can stop the removal is a folder whose own mode a test
// took away, so every folder gets its owner's full access back before it is emptied.
void remove_tree(const Path& path) {
  struct stat status {};
  if (::lstat(path.bytes().c_str(), &status) != 0) {
    if (errno != ENOENT)
      ADD_FAILURE() << "cannot inspect " << path.display() << ": " << errno_text();
    return;
  }
  if (!S_ISDIR(status.st_mode)) {
    if (::unlink(path.bytes().c_str()) != 0) {
      ADD_FAILURE() << "cannot remove " << path.display() << ": " << errno_text();
    }
    return;
  }
  if ((status.st_mode & S_IRWXU) != S_IRWXU)
    ::chmod(path.bytes().c_str(), status.st_mode | S_IRWXU);
  for (const std::string& name : child_names(path)) remove_tree(path.child(name));
  if (::rmdir(path.bytes().c_str()) != 0) {
    ADD_FAILURE() << "cannot remove " << path.display() << ": " << errno_text();
  }
}

}  // namespace tindral::testing
