// A folder the service may list but not write in, on a real disk: the failure carries the
// system's own words. Root writes anywhere, so the walk runs as an unprivileged account.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "desktop_ini.h"
#include "platform/file_system.h"
#include "run_scan.h"
#include "scan_folder.h"
#include "support/real_disk.h"
#include "support/unprivileged_child.h"

namespace tindral {
namespace {

TEST(RefusedWritesTest, AFolderWithoutWritePermissionIsNamedWithTheSystemsWords) {
  test_support::TempDir dir;
  const Path top = dir / "Top";
  const Path locked = top.child("Locked");
  const Path open = top.child("Open");
  for (const Path& folder : {locked, open}) {
    test_support::make_folder(folder);
    test_support::write_bytes(folder.child("a.jpg"), "");
  }
  ASSERT_EQ(::chmod(top.bytes().c_str(), 0777) | ::chmod(open.bytes().c_str(), 0777) |
                ::chmod(locked.bytes().c_str(), 0555),
            0);
  // Opened here, so that the child needs no way through the folders above Top.
  auto opened = platform::real_file_system().open_folder(top);
  ASSERT_TRUE(opened.ok());
  const std::optional<std::string> said = test_support::said_as_nobody([&] {
    ScanStats stats;
    const FolderScanResult walked = scan_folder(std::move(opened), top);
    stats.failures = walked.failures;
    return std::to_string(walked.ini_written) + " written; " +
           scan_failures_warning(stats).value_or("");
  });

  ASSERT_TRUE(said) << "the child ended early";
  EXPECT_EQ(*said, "2 written; Could not update desktop.ini in 1 folder; first: " +
                       locked.display() + ": Permission denied (os error 13)");
  EXPECT_FALSE(test_support::path_exists(locked.child("desktop.ini")));
  EXPECT_EQ(test_support::read_bytes(open.child("desktop.ini")), desktop_ini_content());
}

}  // namespace
}  // namespace tindral
