// A folder the service may list but not write in, on a real disk: the failure carries the
// system's own words. Root writes anywhere, so the walk runs as an unprivileged account.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "desktop_ini.h"
#include "platform/file_system.h"
#include "run_scan.h"
#include "scan_folder.h"
#include "support/machine.h"
#include "support/real_disk.h"

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
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);

  const pid_t child = ::fork();
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    if (test_support::running_as_root() &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
         ::setresuid(kNobody, kNobody, kNobody) != 0)) {
      ::_exit(2);
    }
    ScanStats stats;
    const FolderScanResult walked = scan_folder(std::move(opened), top);
    stats.failures = walked.failures;
    const std::string said = std::to_string(walked.ini_written) + " written; " +
                             scan_failures_warning(stats).value_or("");
    ::_exit(::write(pipe_ends[1], said.data(), said.size()) < 0 ? 3 : 0);
  }
  ::close(pipe_ends[1]);
  std::string said(4096, '\0');
  const ssize_t got = ::read(pipe_ends[0], said.data(), said.size());
  said.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);

  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended early";
  EXPECT_EQ(said, "2 written; Could not update desktop.ini in 1 folder; first: " +
                      locked.display() + ": Permission denied (os error 13)");
  EXPECT_FALSE(test_support::path_exists(locked.child("desktop.ini")));
  EXPECT_EQ(test_support::read_bytes(open.child("desktop.ini")), desktop_ini_content());
}

}  // namespace
}  // namespace tindral
