// Files that only POSIX has in a folder: a FIFO or a socket may carry any name, desktop.ini
// included, and opening a FIFO to read waits for a writer.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using namespace std::chrono_literals;

bool is_fifo(const Path& path) {
  struct stat status {};
  return ::lstat(path.bytes().c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
}

// Runs `walk` and waits for it a while; a walk stuck in opening the FIFO is set free by a
// writer, so that the test fails instead of hanging.
template <class Walk>
auto finishes_without_waiting(const Path& fifo, Walk walk) {
  auto done = std::async(std::launch::async, walk);
  if (done.wait_for(10s) == std::future_status::timeout) {
    ADD_FAILURE() << "the walk waits on the FIFO";
    const int writer = ::open(fifo.bytes().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
  }
  return done.get();
}

class SpecialFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    test_support::make_folder(top_);
    test_support::write_bytes(top_.child("photo.jpg"), "jpg");
    ASSERT_EQ(::mkfifo(fifo_.bytes().c_str(), 0644), 0);
  }

  platform::FileSystem& fs_ = platform::real_file_system();
  test_support::TempDir dir_;
  const Path top_ = dir_ / "Top";
  const Path fifo_ = top_.child("desktop.ini");
};

TEST_F(SpecialFilesTest, AFifoNamedDesktopIniIsForeignToTheScan) {
  const FolderScanResult result =
      finishes_without_waiting(fifo_, [&] { return scan_folder(fs_, top_); });

  EXPECT_EQ(result.folders, 1u);
  EXPECT_EQ(result.ini_written, 0u);
  EXPECT_TRUE(result.has_content);
  EXPECT_TRUE(is_fifo(fifo_));
}

TEST_F(SpecialFilesTest, AFifoNamedDesktopIniIsForeignToTheCleanup) {
  const CleanupStats stats =
      finishes_without_waiting(fifo_, [&] { return cleanup_folder(fs_, top_); });

  EXPECT_EQ(stats.folders_visited, 1u);
  EXPECT_EQ(stats.ini_removed, 0u);
  EXPECT_TRUE(is_fifo(fifo_));
}

TEST_F(SpecialFilesTest, ReadingAFifoIsAnErrorAtOnce) {
  const Result<std::string> read =
      finishes_without_waiting(fifo_, [&] { return fs_.read_file(fifo_, kWholeFile); });

  ASSERT_FALSE(read.ok());
  EXPECT_FALSE(read.error().is_not_found());
}

TEST_F(SpecialFilesTest, WritingOverAFifoIsAnErrorAtOnce) {
  const bool opened =
      finishes_without_waiting(fifo_, [&] { return fs_.create_or_truncate(fifo_).ok(); });

  EXPECT_FALSE(opened);
  EXPECT_TRUE(is_fifo(fifo_));
}

}  // namespace
}  // namespace tindral
