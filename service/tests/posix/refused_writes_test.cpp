// A folder the service may list but not write in, on a real disk: the failure carries the
// system's own words. Root writes anywhere, so the walk runs as an unprivileged account.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "desktop_ini.h"
#include "platform/file_system.h"
#include "run_scan.h"
#include "scan_folder.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

constexpr uid_t kUnprivileged = 65534;

// Runs `work` in a child that has dropped root, when the test runs as root, and returns what it
// wrote to the pipe; the child's exit code says whether it got that far.
template <class Work>
std::string unprivileged(Work work) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    if (test_support::running_as_root() &&
        (::setgroups(0, nullptr) != 0 ||
         ::setresgid(kUnprivileged, kUnprivileged, kUnprivileged) != 0 ||
         ::setresuid(kUnprivileged, kUnprivileged, kUnprivileged) != 0)) {
      ::_exit(2);
    }
    const std::string said = work();
    const bool written =
        ::write(pipe_ends[1], said.data(), said.size()) == static_cast<ssize_t>(said.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(pipe_ends[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended early";
  return said;
}

TEST(RefusedWritesTest, AFolderWithoutWritePermissionIsNamedWithTheSystemsWords) {
  test_support::TempDir dir;
  const Path top = dir / "Top";
  const Path locked = top.child("Locked");
  const Path open = top.child("Open");
  test_support::make_folder(locked);
  test_support::make_folder(open);
  test_support::write_bytes(locked.child("a.jpg"), "jpg");
  test_support::write_bytes(open.child("b.jpg"), "jpg");
  ASSERT_EQ(::chmod(top.bytes().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(open.bytes().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(locked.bytes().c_str(), 0555), 0);
  // Opened here, so that the child needs no way through the folders above Top.
  Result<std::unique_ptr<platform::Folder>> opened = platform::real_file_system().open_folder(top);
  ASSERT_TRUE(opened.ok());

  const std::string said = unprivileged([&] {
    const FolderScanResult walked = scan_folder(std::move(opened), top);
    ScanStats stats;
    stats.failures = walked.failures;
    return std::to_string(walked.ini_written) + " written; " +
           scan_failures_warning(stats).value_or("");
  });

  EXPECT_EQ(said, "2 written; Could not update desktop.ini in 1 folder; first: " +
                      locked.display() + ": Permission denied (os error 13)");
  EXPECT_FALSE(test_support::path_exists(locked.child("desktop.ini")));
  EXPECT_EQ(test_support::read_bytes(open.child("desktop.ini")), desktop_ini_content());
}

}  // namespace
}  // namespace tindral
