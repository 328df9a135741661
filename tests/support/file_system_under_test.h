#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::test_support {

/// A file system that the same cases run against, with an empty folder of its own to work in.
/// A case sets its tree up through fs(); it checks what ended up stored around it, so that a
/// fault shared by writing and reading does not hide itself. What other programs do to a disk,
/// which the interface does not offer, is done here as the kind of file system allows.
class FileSystemUnderTest {
 public:
  virtual ~FileSystemUnderTest() = default;

  virtual platform::FileSystem& fs() = 0;
  /// An empty folder, with everything in it gone when the object goes.
  virtual const Path& folder() const = 0;
  /// True for the platform's own layer on the real disk, false for the fake.
  virtual bool on_real_disk() const = 0;

  /// Makes a symbolic link to `target`; false where this platform cannot, so that the case can
  /// skip.
  virtual bool make_link(const Path& target, const Path& link, bool target_is_folder) = 0;
  /// Renames a file or folder to a free name behind the back of every open handle.
  virtual void rename(const Path& from, const Path& to) = 0;

  /// Sets a file's or folder's last-write time to a moment long past, so that a change shows.
  virtual void backdate(const Path& path) = 0;
  /// The last-write time as stored.
  virtual platform::FileTime stored_last_write_time(const Path& path) = 0;
  /// Keeps the file from being deleted until the object goes, as another program holding it
  /// would; false where this platform cannot (POSIX root), so that the case can skip.
  virtual bool block_deletion(const Path& file) = 0;

  /// The whole content of a file as stored ("" and a test failure when there is none).
  virtual std::string stored_content(const Path& file) = 0;
  /// True when anything, a link included, has the name.
  virtual bool stored(const Path& path) = 0;
};

/// The parameter of a suite that runs against both: the name its cases carry, and how to make
/// a fresh one for each case.
struct FileSystemKind {
  std::string name;
  std::function<std::unique_ptr<FileSystemUnderTest>()> make;
};

/// The platform's layer in a fresh temporary folder, and the fake.
std::vector<FileSystemKind> real_disk_and_fake();

/// The kind's name, for INSTANTIATE_TEST_SUITE_P.
std::string kind_name(const testing::TestParamInfo<FileSystemKind>& info);

void PrintTo(const FileSystemKind& kind, std::ostream* out);

}  // namespace tindral::test_support
