// What a user may plant as desktop.ini in a tree of their own for the service, which runs as
// root, to find: links and second names of files elsewhere, a terminal, a sparse file of many
// gigabytes. None of it may be read past the cap, written, re-attributed or deleted.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

/// What the test looks at of a file that the service must leave alone.
struct Snapshot {
  std::string bytes;
  mode_t mode = 0;
  nlink_t links = 0;
  bool has_dos_attributes = false;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(const Path& file) {
  Snapshot taken;
  struct stat status {};
  EXPECT_EQ(::lstat(file.bytes().c_str(), &status), 0) << file.display();
  taken.mode = status.st_mode;
  taken.links = status.st_nlink;
  if (S_ISREG(status.st_mode) && status.st_size < 4096)
    taken.bytes = test_support::read_bytes(file);
  taken.has_dos_attributes = ::lgetxattr(file.bytes().c_str(), "user.DOSATTRIB", nullptr, 0) >= 0;
  return taken;
}

class PlantedFilesTest : public testing::Test {
 protected:
  platform::FileSystem& fs_ = platform::real_file_system();
  test_support::TempDir dir_;
  const Path top_ = dir_ / "Top";
  const Path outside_ = dir_ / "outside";
};

// Links made beforehand, to files of root's elsewhere that carry a marker word: in a folder with
// content the scan would rewrite the target, in one without it would re-attribute and delete it,
// and so would the cleanup.
TEST_F(PlantedFilesTest, LinksAndSecondNamesOfFilesElsewhereAreLeftAlone) {
  test_support::make_folder(outside_);
  const Path linked = outside_.child("linked.conf");
  const Path hard = outside_.child("hard.conf");
  test_support::write_bytes(linked, "[Tindral]\nroot's own settings\n");
  test_support::write_bytes(hard, "[Tindral]\nroot's other settings\n");
  const Path with_content = top_.child("WithContent");
  const Path empty = top_.child("Empty");
  const Path hard_linked = top_.child("HardLinked");
  for (const Path& folder : {with_content, empty, hard_linked}) test_support::make_folder(folder);
  test_support::write_bytes(with_content.child("photo.jpg"), "jpg");
  ASSERT_TRUE(test_support::make_symlink(linked, with_content.child("desktop.ini"), false));
  ASSERT_TRUE(test_support::make_symlink(linked, empty.child("desktop.ini"), false));
  ASSERT_EQ(::link(hard.bytes().c_str(), hard_linked.child("desktop.ini").bytes().c_str()), 0);
  const Snapshot linked_before = snapshot(linked);
  const Snapshot hard_before = snapshot(hard);

  const FolderScanResult scanned = scan_folder(fs_, top_);
  const CleanupStats cleaned = cleanup_folder(fs_, top_);

  EXPECT_EQ(scanned.folders, 4u);
  EXPECT_EQ(scanned.ini_written, 1u);  // Top, which the service may give its own file
  EXPECT_EQ(scanned.ini_removed, 0u);
  EXPECT_EQ(cleaned.ini_removed, 1u);  // that same file of Top's
  EXPECT_EQ(snapshot(linked), linked_before);
  EXPECT_EQ(snapshot(hard), hard_before);
  EXPECT_TRUE(S_ISLNK(snapshot(with_content.child("desktop.ini")).mode));
  EXPECT_TRUE(S_ISLNK(snapshot(empty.child("desktop.ini")).mode));
  EXPECT_TRUE(test_support::path_exists(hard_linked.child("desktop.ini")));
}

// Runs `work` in a child process of its own session and returns the child's exit code.
int in_new_session(const std::function<int()>& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    ::_exit(work());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A session leader without a terminal that opens one without O_NOCTTY makes it its controlling
// terminal, and then Ctrl+C typed there ends the service. The user's own terminal arrives as a
// link to it, or (planted by somebody who may make device files) as a device file of its own.
TEST_F(PlantedFilesTest, ATerminalNamedDesktopIniNeverBecomesTheServicesTerminal) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const Path terminal(::ptsname(master));
  const Path as_link = top_.child("Link");
  const Path as_device = top_.child("Device");
  test_support::make_folder(as_link);
  test_support::make_folder(as_device);
  test_support::write_bytes(as_link.child("photo.jpg"), "jpg");
  test_support::write_bytes(as_device.child("photo.jpg"), "jpg");
  ASSERT_TRUE(test_support::make_symlink(terminal, as_link.child("desktop.ini"), false));
  struct stat device {};
  ASSERT_EQ(::stat(terminal.bytes().c_str(), &device), 0);
  // A device file made outside /dev/pts reaches the terminal only where /dev/pts is the
  // system's own instance, not a container's.
  const Path device_file = as_device.child("desktop.ini");
  bool has_device_file = test_support::running_as_root() &&
                         ::mknod(device_file.bytes().c_str(), S_IFCHR | 0600, device.st_rdev) == 0;
  if (has_device_file) {
    const int probe = ::open(device_file.bytes().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    has_device_file = probe >= 0;
    if (probe >= 0) ::close(probe);
  }

  const int outcome = in_new_session([&] {
    static_cast<void>(scan_folder(fs_, top_));
    static_cast<void>(cleanup_folder(fs_, top_));
    // With a controlling terminal, /dev/tty opens.
    const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    return tty < 0 ? 0 : 1;
  });
  ::close(master);

  EXPECT_EQ(outcome, 0) << "the walk made a planted terminal its controlling terminal";
  EXPECT_TRUE(S_ISLNK(snapshot(as_link.child("desktop.ini")).mode));
  if (has_device_file) {
    EXPECT_TRUE(S_ISCHR(snapshot(device_file).mode));
  } else {
    std::cout << "[   NOTE   ] no usable terminal device file here: only the link was tried\n";
  }
}

// A sparse desktop.ini of 8 GB takes no disk space; a read by the size it claims would take
// 8 GB of memory (or end the process). The walks leave it alone within their usual memory.
TEST_F(PlantedFilesTest, AHugeSparseDesktopIniIsNeitherReadWholeNorChanged) {
  constexpr off_t kClaimed = off_t{8} << 30;
  const Path with_content = top_.child("WithContent");
  const Path empty = top_.child("Empty");
  test_support::make_folder(with_content);
  test_support::make_folder(empty);
  test_support::write_bytes(with_content.child("photo.jpg"), "jpg");
  for (const Path& folder : {with_content, empty}) {
    const Path ini = folder.child("desktop.ini");
    test_support::write_bytes(ini, "[Tindral]\r\n");
    ASSERT_EQ(::truncate(ini.bytes().c_str(), kClaimed), 0) << "no sparse files here";
  }
  struct rusage before {};
  ::getrusage(RUSAGE_SELF, &before);

  const pid_t child = ::fork();
  if (child == 0) {
    static_cast<void>(scan_folder(fs_, top_));
    static_cast<void>(cleanup_folder(fs_, top_));
    ::_exit(0);
  }
  int status = 0;
  struct rusage used {};
  ASSERT_EQ(::wait4(child, &status, 0, &used), child);

  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the walk did not end normally";
  // Kilobytes: the child starts with what the test process holds and may add little to it.
  EXPECT_LT(used.ru_maxrss, before.ru_maxrss + 256 * 1024);
  for (const Path& folder : {with_content, empty}) {
    struct stat status_after {};
    ASSERT_EQ(::stat(folder.child("desktop.ini").bytes().c_str(), &status_after), 0);
    EXPECT_EQ(status_after.st_size, kClaimed);
  }
}

// A lease, the native counterpart of an oplock, makes every other open of the file wait until
// its holder lets go, or for the kernel's lease-break-time (45 seconds by default) when she
// never does: a user's lease on her own desktop.ini would stall each scan, and the stop with it.
// The walks open without waiting and leave that folder as it is.
TEST_F(PlantedFilesTest, ALeaseOnADesktopIniNeverMakesTheWalksWait) {
  const Path held = top_.child("WithContent").child("desktop.ini");
  test_support::make_folder(held.parent());
  test_support::write_bytes(held.parent().child("photo.jpg"), "jpg");
  test_support::write_bytes(held, "[Tindral]\r\n");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    // The break is announced with SIGIO, which would end the holder; she ignores it instead.
    ::signal(SIGIO, SIG_IGN);
    const int fd = ::open(held.bytes().c_str(), O_RDWR | O_CLOEXEC);
    const char answer = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 'y' : 'n';
    static_cast<void>(::write(ready[1], &answer, 1));
    ::sleep(120);
    ::_exit(0);
  }
  char answer = 'n';
  static_cast<void>(::read(ready[0], &answer, 1));
  ::close(ready[0]);
  ::close(ready[1]);
  if (answer != 'y') {
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    GTEST_SKIP() << "this file system grants no leases";
  }

  const auto start = std::chrono::steady_clock::now();
  static_cast<void>(scan_folder(fs_, top_));
  static_cast<void>(cleanup_folder(fs_, top_));
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);

  EXPECT_LT(took, std::chrono::seconds(5)) << "the walks waited for the lease holder";
  EXPECT_EQ(test_support::read_bytes(held), "[Tindral]\r\n");
}

}  // namespace
}  // namespace tindral
