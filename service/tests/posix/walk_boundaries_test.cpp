// Where the walks stop natively: at another file system mounted below a root (which may never
// answer), and at the depth limit of a chain of folders far deeper than any Windows path.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/child_process.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "tree_walk.h"

namespace tindral {
namespace {

using testing::HasSubstr;

platform::FileSystem& disk() { return platform::real_file_system(); }

/// A file system mounted for the length of a test and detached at its end, also while something
/// still uses it.
class ScopedMount {
 public:
  ScopedMount(const Path& target, const char* type, const std::string& options)
      : target_(target.bytes()) {
    if (::mount(type, target_.c_str(), type, MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~ScopedMount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string target_;
  bool mounted_ = false;
  std::string error_;
};

/// A FUSE file system whose server never answers: the test holds its device and never reads a
/// request from it, as a user's server that hangs would. Closing the device at the end aborts
/// the connection, so that a call still waiting on it fails instead of waiting for good.
class UnansweredFuse {
 public:
  explicit UnansweredFuse(const Path& target) : device_(::open("/dev/fuse", O_RDWR | O_CLOEXEC)) {
    if (device_ < 0) return;
    mount_.emplace(
        target, "fuse",
        "fd=" + std::to_string(device_) + ",rootmode=40000,user_id=0,group_id=0,allow_other");
  }
  ~UnansweredFuse() {
    mount_.reset();
    if (device_ >= 0) ::close(device_);
  }
  UnansweredFuse(const UnansweredFuse&) = delete;
  UnansweredFuse& operator=(const UnansweredFuse&) = delete;

  /// Why there is no mount, or "" when there is one.
  std::string failure() const {
    if (device_ < 0) return std::string("cannot open /dev/fuse: ") + std::strerror(errno);
    return mount_->mounted() ? "" : "cannot mount FUSE: " + mount_->error();
  }

 private:
  int device_;
  std::optional<ScopedMount> mount_;
};

class WalkBoundariesTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!test_support::running_as_root()) GTEST_SKIP() << "mounting needs root";
  }

  Path data_folder() const { return (dir_ / "programdata").child("Tindral"); }

  void write_config(const std::vector<Path>& roots) {
    test_support::make_folder(data_folder());
    std::string text;
    for (const Path& root : roots) text += root.bytes() + "\n";
    test_support::write_bytes(data_folder().child("config.txt"), text);
  }

  test_support::EnvironmentChanges console_environment() const {
    return {{"ProgramData", (dir_ / "programdata").bytes()},
            {"NO_COLOR", "1"},
            {"INVOCATION_ID", std::nullopt},
            {"NOTIFY_SOCKET", std::nullopt},
            // Freed memory is reused at once rather than held back to catch a use after free, so
            // that the resident set is what the program keeps, not all it has ever allocated.
            {"ASAN_OPTIONS", "quarantine_size_mb=0"}};
  }

  // One console scan of the roots of config.txt, as an administrator would run it.
  test_support::ChildOutcome console_scan(std::chrono::milliseconds timeout) {
    return test_support::run_child(test_support::built_program(TINDRAL_EXE), {"--console"},
                                   console_environment(), dir_.path(), timeout);
  }

  test_support::TempDir dir_;
};

// A mount point is a link entry to the Windows build: never entered, not counted, no content.
// Natively the listing shows a plain folder, which the walks must still pass over.
TEST_F(WalkBoundariesTest, AFileSystemMountedBelowARootIsNeitherEnteredNorCounted) {
  const Path top = dir_ / "Top";
  const Path mounted = top.child("mounted");
  test_support::make_folder(mounted);
  ScopedMount tmpfs(mounted, "tmpfs", "size=1m");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount tmpfs here: " << tmpfs.error();
  test_support::write_bytes(mounted.child("photo.jpg"), "jpeg");
  test_support::make_folder(mounted.child("Empty"));
  test_support::write_bytes(mounted.child("Empty").child("desktop.ini"), desktop_ini_content());

  const FolderScanResult scanned = scan_folder(disk(), top);
  const CleanupStats cleaned = cleanup_folder(disk(), top);

  EXPECT_EQ(scanned.folders, 1u);
  EXPECT_FALSE(scanned.has_content);
  EXPECT_EQ(cleaned.folders_visited, 1u);
  EXPECT_FALSE(test_support::path_exists(top.child("desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(mounted.child("desktop.ini")));
  EXPECT_TRUE(test_support::path_exists(mounted.child("Empty").child("desktop.ini")));
}

// Whoever may mount a FUSE file system (any user, where user_allow_other is set) can put one
// below a root whose server never answers: the scan passes over it without asking it anything,
// finishes, and reaches the roots after it.
TEST_F(WalkBoundariesTest, AFuseMountThatNeverAnswersHoldsUpNeitherTheScanNorLaterRoots) {
  const Path first = dir_ / "First";
  const Path second = dir_ / "Second";
  test_support::make_folder(first.child("hung"));
  test_support::write_bytes(first.child("photo.jpg"), "jpeg");
  test_support::make_folder(second);
  test_support::write_bytes(second.child("photo.jpg"), "jpeg");
  const UnansweredFuse fuse(first.child("hung"));
  if (const std::string failure = fuse.failure(); !failure.empty()) GTEST_SKIP() << failure;
  write_config({first, second});

  const test_support::ChildOutcome outcome = console_scan(std::chrono::seconds(60));

  EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
  EXPECT_THAT(outcome.out, HasSubstr("\n  Folders scanned: 2\n  Desktop.ini written: 2\n"));
  EXPECT_TRUE(test_support::path_exists(second.child("desktop.ini")));
}

/// A chain of folders, each named with the longest name a Linux file system takes, made one
/// level at a time relative to the one above (its path is far too long for any call), with a
/// file at the bottom.
void make_name_chain(const Path& top, std::size_t depth, const std::string& name) {
  int folder = ::open(top.bytes().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t level = 0; level < depth && folder >= 0; ++level) {
    ::mkdirat(folder, name.c_str(), 0755);
    const int below = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(folder);
    folder = below;
  }
  if (folder < 0) {
    ADD_FAILURE() << "cannot make the chain: " << std::strerror(errno);
    return;
  }
  ::close(::openat(folder, "photo.jpg", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ::close(folder);
}

// The scan goes down to the limit and no further, says so once, and holds little memory on the
// way: the chain lies past the limit as a 1.6-million-level one does, whose scan must stay
// within 64 MiB (the benchmarks measure that one, which takes minutes to build). The file at the
// bottom lies below the limit, so no folder above it gets the icon for it. The chain lies in a
// tmpfs of its own, which goes at once at the end, where deleting it from a disk that discards
// freed blocks takes minutes.
TEST_F(WalkBoundariesTest, AChainPastTheDepthLimitIsScannedToTheLimitInLittleMemory) {
  constexpr char kGnuTime[] = "/usr/bin/time";
  if (::access(kGnuTime, X_OK) != 0) {
    GTEST_SKIP() << "GNU time (Debian package time), which measures the scan's memory, is missing";
  }
  const Path chains = dir_ / "chains";
  test_support::make_folder(chains);
  const ScopedMount tmpfs(chains, "tmpfs", "size=256m,mode=0755");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount tmpfs here: " << tmpfs.error();
  const Path tree = chains.child("Deep");
  test_support::make_folder(tree);
  make_name_chain(tree, kMaxWalkDepth + 2, std::string(255, 'n'));
  ASSERT_FALSE(HasFailure());
  write_config({tree});
  const Path measured = dir_ / "peak.txt";

  // The peak resident set is measured by GNU time, which the scan is started from: a process
  // started straight from this one would take over its high-water mark when it starts.
  const test_support::ChildOutcome outcome = test_support::run_child(
      Path(kGnuTime), {"-f", "%M", "-o", measured.bytes(), TINDRAL_EXE, "--console"},
      console_environment(), dir_.path(), std::chrono::minutes(5));

  EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
  EXPECT_THAT(outcome.out, HasSubstr(" WARN TindralService::scanner: Root path is deeper than "
                                     "32768 folders; not walked below that depth: " +
                                     tree.bytes() + "\n"));
  EXPECT_THAT(outcome.out, HasSubstr("\n  Folders scanned: 32769\n  Desktop.ini written: 0\n"
                                     "  Desktop.ini removed: 0\n"));
  // AddressSanitizer's own share (about 20 MiB) is included.
  constexpr std::uint64_t kPeakKiB = 64 * 1024;
  EXPECT_LE(std::stoull(test_support::read_bytes(measured)), kPeakKiB);
}

}  // namespace
}  // namespace tindral
