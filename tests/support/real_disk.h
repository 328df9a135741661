#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral::test_support {

/// A fresh empty folder on the real disk (below TINDRAL_TEST_TMP when set, else the platform's
/// temporary folder), removed with everything in it when the object goes, read-only and hidden
/// files and folders included.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const Path& path() const { return path_; }
  /// The child `name` of the folder.
  Path operator/(std::string_view name) const { return path_.child(name); }

 private:
  Path path_;
};

// Real-disk helpers that go around the code under test; each reports a failure to GoogleTest.

/// Creates a folder with its missing ancestors.
void make_folder(const Path& folder);
/// Creates or replaces a file with exactly `bytes`.
void write_bytes(const Path& file, std::string_view bytes);
/// The whole content of a file ("" and a test failure when it cannot be read).
std::string read_bytes(const Path& file);
/// True when something exists at the path (links are not followed).
bool path_exists(const Path& path);
/// Creates a symbolic link; false where the platform cannot create one (under Wine the call
/// succeeds and creates nothing), so that link tests can skip.
bool make_symlink(const Path& target, const Path& link, bool target_is_folder);
/// Renames a file or folder to a name that is free, as another program would.
void rename_entry(const Path& from, const Path& to);
/// Lets every account write, delete and change the file or folder (POSIX: mode 0777 or 0666;
/// Windows: Everyone full control in its DACL).
void open_to_everybody(const Path& path);
/// Gives the file or folder to an account that is neither the test's nor an administrator's;
/// false where the test may not do that (POSIX: not root; Windows: without the privilege).
bool give_to_another_account(const Path& path);
/// Removes a file or a whole tree, clearing attributes that would prevent it.
void remove_tree(const Path& path);
/// Sets the last-write time of a file or folder to a moment long past (2001-02-03), so that any
/// later change shows whatever the resolution of the disk's clock.
void backdate(const Path& path);
/// The last-write time of a file or folder (a link itself, not what it names), in the units of
/// platform::FileTime.
platform::FileTime last_write_time(const Path& path);

/// Keeps a file from being deleted for as long as it lives, as another program can: Windows a
/// handle that does not share deletion (as an indexer or a virus scanner holds one), POSIX the
/// write permission of the file's folder taken away, which binds only a process without root's
/// privileges.
class DeletionBlocker {
 public:
  explicit DeletionBlocker(const Path& file);
  ~DeletionBlocker();
  DeletionBlocker(const DeletionBlocker&) = delete;
  DeletionBlocker& operator=(const DeletionBlocker&) = delete;
  /// False where this process cannot be kept from deleting (POSIX root).
  bool holds() const { return holds_; }

 private:
  Path path_;
  bool holds_ = false;
  std::uintptr_t state_ = 0;  ///< Windows: the handle; POSIX: the folder's former mode
};

}  // namespace tindral::test_support
