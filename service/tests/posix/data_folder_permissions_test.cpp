// The data folder natively: whatever the umask the service starts with, only its own account
// may change what it writes there, and what another account wrote there does not steer it.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/data_folder_security.h"
#include "flag_files.h"
#include "platform/file_system.h"
#include "service_log.h"
#include "support/log_capture.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"
#include "worker.h"

namespace tindral {
namespace {

mode_t mode_of(const Path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.bytes().c_str(), &status), 0) << path.display();
  return status.st_mode & 07777;
}

/// Sets the process's umask for the life of the object.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

class DataFolderPermissionsTest : public testing::Test {
 protected:
  platform::FileSystem& fs_ = platform::real_file_system();
  test_support::TempDir dir_;
  const Path data_ = (dir_ / "ProgramData").child("Tindral");
};

TEST_F(DataFolderPermissionsTest, WithUmaskZeroTheFolderIs0755AndTheServicesFiles0644) {
  const ScopedUmask open_umask(0);
  ASSERT_TRUE(fs_.secure_folder(data_));
  ASSERT_TRUE(append_service_log(fs_, data_.child("service.log"), "Tindral Service started"));
  FlagFiles(fs_, data_).create_paused();
  // What tindralctl writes.
  ASSERT_TRUE(fs_.create_new_file(data_.child("config.txt.tindralctl.tmp")));

  EXPECT_EQ(mode_of(data_), 0755u);
  EXPECT_EQ(mode_of(data_.child("service.log")), 0644u);
  EXPECT_EQ(mode_of(data_.child("paused.flag")), 0644u);
  EXPECT_EQ(mode_of(data_.child("config.txt.tindralctl.tmp")), 0644u);
}

// An administrator's file in a folder that was open to others gets the owner, group and mode
// of the files the service writes.
TEST_F(DataFolderPermissionsTest, AFileThatCountsInARepairedFolderBecomesTheServicesAnd0644) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another group";
  test_support::make_folder(data_);
  const Path config = data_.child("config.txt");
  test_support::write_bytes(config, "/srv/photos\n");
  ASSERT_EQ(::chown(config.bytes().c_str(), 0, 65534), 0);
  ASSERT_EQ(::chmod(config.bytes().c_str(), 0600), 0);
  ASSERT_EQ(::chmod(data_.bytes().c_str(), 0777), 0);

  ASSERT_TRUE(secure_data_folder(fs_, data_, dir_ / "folder.ico"));

  struct stat status {};
  ASSERT_EQ(::lstat(config.bytes().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_gid, ::getegid());
  EXPECT_EQ(test_support::read_bytes(config), "/srv/photos\n");
}

TEST_F(DataFolderPermissionsTest, AFolderEverybodyMayWriteIsGiven0755) {
  test_support::make_folder(data_);
  ASSERT_EQ(::chmod(data_.bytes().c_str(), 0777), 0);
  EXPECT_EQ(*fs_.secure_folder(data_), platform::Trust::OpenToOthers);
  EXPECT_EQ(mode_of(data_), 0755u);
}

// As root the test can give config.txt to another account, which the service then ignores,
// saying so in service.log.
TEST_F(DataFolderPermissionsTest, AConfigOfAnotherAccountIsIgnoredAndTheLogSaysSo) {
  const Path root = dir_ / "Photos";
  test_support::make_folder(root);
  test_support::write_bytes(root.child("photo.jpg"), "jpeg");
  test_support::make_folder(data_);
  test_support::write_bytes(data_.child("config.txt"), root.bytes() + "\n");
  if (!test_support::give_to_another_account(data_.child("config.txt"))) {
    GTEST_SKIP() << "only root may give a file to another account";
  }
  test_support::LogCapture capture;
  platform::StopSignal stop;
  stop.request();
  WorkerSetup setup;
  setup.fs = &fs_;
  setup.data_folder = data_;
  setup.now = [] { return std::chrono::steady_clock::time_point{}; };
  setup.sleep = [](std::chrono::milliseconds) {};
  setup.stop = &stop;
  run_service_loop(setup);

  EXPECT_THAT(
      test_support::service_log_messages(test_support::read_bytes(data_.child("service.log"))),
      testing::ElementsAre("Tindral Service started",
                           "Ignoring config.txt: it is owned by another account",
                           "No config.txt found. Please configure root paths.",
                           "Stop requested by the service manager, shutting down service",
                           "Tindral Service stopped"));
  EXPECT_FALSE(test_support::path_exists(root.child("desktop.ini")));
}

}  // namespace
}  // namespace tindral
