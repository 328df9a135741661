// The service accepts no shutdown control, so Windows ends it wherever it is when the machine
// shuts down, and a crash or a power cut stops it just as abruptly. Killed at random moments
// during scans (the real executable, `tindral --console`) and cleanups (the same walk in a
// child process: only the service loop starts one) of a few thousand folders, it must never
// leave a desktop.ini of its own that is cut off, unmarked or in sight, and the next scan must
// put every folder right.

#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "support/child_process.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGroups = 40;
constexpr int kFoldersPerGroup = 50;
// The last groups hold nothing, so that whole subtrees lose their files.
constexpr int kEmptyGroups = 4;
constexpr int kRounds = 10;

constexpr std::string_view kStale =
    "[.ShellClassInfo]\r\nIconResource=C:\\Old\\Tindral\\folder.ico,0\r\n[Tindral]\r\n"
    "Generated=true\r\n";

/// A folder of the tree and whether it, or a folder below it, holds content.
struct Folder {
  Path path;
  bool content = false;
};

// HIDDEN and SYSTEM as Samba and Wine read them from user.DOSATTRIB.
bool hidden_and_system(const Path& file) {
  char text[64] = {};
  const ssize_t length = ::getxattr(file.bytes().c_str(), "user.DOSATTRIB", text, sizeof text - 1);
  if (length <= 2) return false;
  return (std::stoul(std::string(text + 2, static_cast<std::size_t>(length) - 2), nullptr, 16) &
          0x6) == 0x6;
}

void hide(const Path& file) {
  ASSERT_EQ(::setxattr(file.bytes().c_str(), "user.DOSATTRIB", "0x6", 3, 0), 0) << file.display();
}

class CrashConsistencyTest : public testing::Test {
 protected:
  void SetUp() override {
    test_support::make_folder(data_folder_);
    test_support::write_bytes(data_folder_.child("config.txt"), root_.bytes() + "\n");
    folders_.push_back({root_, true});
    for (int group = 0; group < kGroups; ++group) {
      const Path group_path = root_.child("g" + std::to_string(group));
      const bool group_has_content = group < kGroups - kEmptyGroups;
      folders_.push_back({group_path, group_has_content});
      for (int index = 0; index < kFoldersPerGroup; ++index) {
        const Path folder = group_path.child("f" + std::to_string(index));
        const bool content = group_has_content && (group + index) % 3 != 0;
        test_support::make_folder(folder);
        if (content) test_support::write_bytes(folder.child("photo.jpg"), "jpeg");
        folders_.push_back({folder, content});
      }
    }
  }

  // A stale file of the service's in every seventh folder, to be rewritten or removed.
  void seed_stale_files() {
    for (std::size_t i = 0; i < folders_.size(); i += 7) {
      const Path ini = folders_[i].path.child("desktop.ini");
      test_support::write_bytes(ini, kStale);
      hide(ini);
    }
  }

  // A whole scan when `kill_after` is empty; otherwise it is killed then, unless it ended
  // before. Returns how long it ran and whether it was killed while running.
  std::pair<Clock::duration, bool> scan(std::optional<Clock::duration> kill_after) {
    const Clock::time_point start = Clock::now();
    test_support::ChildProcess tindral(test_support::built_program(TINDRAL_EXE), {"--console"},
                                       {{"ProgramData", program_data_.bytes()},
                                        {"NO_COLOR", "1"},
                                        {"INVOCATION_ID", std::nullopt},
                                        {"NOTIFY_SOCKET", std::nullopt}},
                                       dir_.path());
    if (kill_after) {
      std::this_thread::sleep_for(*kill_after);
      const bool running = !tindral.wait(std::chrono::milliseconds(0));
      return {Clock::now() - start, running};  // the destructor kills it
    }
    EXPECT_TRUE(tindral.wait(std::chrono::seconds(120)));
    EXPECT_EQ(tindral.exit_code(), 0) << tindral.standard_error();
    return {Clock::now() - start, false};
  }

  std::pair<Clock::duration, bool> cleanup(std::optional<Clock::duration> kill_after) {
    const Clock::time_point start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
      static_cast<void>(cleanup_folder(platform::real_file_system(), root_));
      ::_exit(0);
    }
    bool running = false;
    int status = 0;
    if (kill_after) {
      std::this_thread::sleep_for(*kill_after);
      running = ::waitpid(child, &status, WNOHANG) == 0;
      if (running) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
      }
    } else {
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return {Clock::now() - start, running};
  }

  // What a user sees after any kill: no desktop.ini of the service's, or a whole, hidden one.
  void expect_nothing_cut_off_or_in_sight(const std::string& after) {
    for (const Folder& folder : folders_) {
      const Path ini = folder.path.child("desktop.ini");
      if (!test_support::path_exists(ini)) continue;
      const std::string bytes = test_support::read_bytes(ini);
      EXPECT_TRUE(bytes == content_ || bytes == kStale) << after << ": " << ini.display();
      EXPECT_TRUE(hidden_and_system(ini)) << after << ": " << ini.display();
    }
  }

  void expect_no_leftovers() {
    for (const Folder& folder : folders_) {
      EXPECT_FALSE(test_support::path_exists(folder.path.child(kNewDesktopIniName)))
          << folder.path.display();
      EXPECT_FALSE(test_support::path_exists(folder.path.child(kOldDesktopIniName)))
          << folder.path.display();
    }
  }

  void expect_every_folder_right() {
    for (const Folder& folder : folders_) {
      const Path ini = folder.path.child("desktop.ini");
      ASSERT_EQ(test_support::path_exists(ini), folder.content) << folder.path.display();
      if (!folder.content) continue;
      EXPECT_EQ(test_support::read_bytes(ini), content_) << folder.path.display();
      EXPECT_TRUE(hidden_and_system(ini)) << folder.path.display();
    }
    expect_no_leftovers();
  }

  test_support::TempDir dir_;
  const Path program_data_ = dir_ / "programdata";
  const Path data_folder_ = program_data_.child("Tindral");
  const Path root_ = dir_ / "tree";
  const std::string content_ = build_desktop_ini_content(data_folder_);
  std::vector<Folder> folders_;
};

TEST_F(CrashConsistencyTest, KilledScansAndCleanupsNeverLeaveACutOffOrVisibleFile) {
  const std::random_device::result_type seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  seed_stale_files();
  const Clock::duration whole_scan = scan(std::nullopt).first;
  expect_every_folder_right();
  const Clock::duration whole_cleanup = cleanup(std::nullopt).first;
  seed_stale_files();

  int killed_while_running = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::uniform_int_distribution<Clock::rep> scan_moment(0, whole_scan.count());
    killed_while_running += scan(Clock::duration(scan_moment(random))).second;
    expect_nothing_cut_off_or_in_sight("scan killed in round " + std::to_string(round));
    std::uniform_int_distribution<Clock::rep> cleanup_moment(0, whole_cleanup.count());
    killed_while_running += cleanup(Clock::duration(cleanup_moment(random))).second;
    expect_nothing_cut_off_or_in_sight("cleanup killed in round " + std::to_string(round));
  }
  // Moments drawn within a whole run's length mostly meet it running; if not, nothing was
  // tested.
  EXPECT_GE(killed_while_running, kRounds);

  scan(std::nullopt);
  expect_every_folder_right();
  cleanup(std::nullopt);
  for (const Folder& folder : folders_) {
    EXPECT_FALSE(test_support::path_exists(folder.path.child("desktop.ini")));
  }
  expect_no_leftovers();
}

}  // namespace
}  // namespace tindral
