// Changes looked at by an account that may not do everything, on a real disk: a folder it may
// not write in is counted in the system's own words, and one it may not list loses nothing. Root
// reads and writes anywhere, so the update runs as an unprivileged account.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "changed_folders.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/real_disk.h"
#include "support/unprivileged_child.h"
#include "update_after_changes.h"
#include "walk_failures.h"

namespace tindral {
namespace {

TEST(UpdateAfterChangesUnprivilegedTest, RefusedWritesAreCountedAndRefusedListingsRemoveNothing) {
  test_support::TempDir dir;
  const Path top = dir / "Top";
  const Path locked = top.child("Locked");
  const Path denied = top.child("Denied");
  test_support::make_folder(locked);
  test_support::make_folder(denied);
  test_support::write_bytes(denied.child("b.jpg"), "");
  static_cast<void>(scan_folder(platform::real_file_system(), denied));
  ASSERT_EQ(::unlink(denied.child("b.jpg").bytes().c_str()), 0);
  test_support::write_bytes(locked.child("a.jpg"), "");
  ASSERT_EQ(::chmod(top.bytes().c_str(), 0777) | ::chmod(locked.bytes().c_str(), 0555) |
                ::chmod(denied.bytes().c_str(), 0333),
            0);
  auto opened = platform::real_file_system().open_folder(top);
  ASSERT_TRUE(opened.ok());
  const std::optional<std::string> said = test_support::said_as_nobody([&] {
    ChangedFolders changed;
    changed.add({0, platform::ChangeKind::Appeared, {"Locked", "a.jpg"}});
    changed.add({0, platform::ChangeKind::Disappeared, {"Denied", "b.jpg"}});
    const ChangeUpdateStats stats = update_after_changes(**opened, top, changed.folders(0));
    return changes_summary(stats) + "; " + failures_warning("update", stats.failures).value_or("");
  });
  ::chmod(denied.bytes().c_str(), 0777);

  ASSERT_TRUE(said) << "the child ended early";
  // Top gets the icon Locked could not take.
  EXPECT_EQ(*said,
            "Updated after changes: 2 folders looked at, 1 written, 0 removed; Could not update "
            "desktop.ini in 1 folder; first: " +
                locked.display() + ": Permission denied (os error 13)");
  EXPECT_EQ(test_support::read_bytes(denied.child("desktop.ini")), desktop_ini_content());
  EXPECT_EQ(test_support::read_bytes(top.child("desktop.ini")), desktop_ini_content());
}

}  // namespace
}  // namespace tindral
