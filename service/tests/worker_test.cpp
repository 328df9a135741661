#include "worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/data_folder.h"
#include "desktop_ini.h"
#include "log.h"
#include "log_targets.h"
#include "platform/file_system.h"
#include "platform/stop_signal.h"
#include "support/fake_file_system.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace tindral {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using namespace std::chrono_literals;
using test_support::FakeFileSystem;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr const char* kStarted = "Tindral Service started";
constexpr const char* kNoConfig = "No config.txt found. Please configure root paths.";
constexpr const char* kStopFlag = "Stop flag detected, shutting down service";
constexpr const char* kStopRequested =
    "Stop requested by the service manager, shutting down service";
constexpr const char* kStopped = "Tindral Service stopped";
constexpr const char* kCleanupRequested =
    "Cleanup requested \xE2\x80\x94 removing all desktop.ini files and pausing service";
constexpr const char* kRescan = "On-demand rescan triggered";

std::string counts(int folders, int written, int removed) {
  return std::to_string(folders) + " folders, " + std::to_string(written) + " written, " +
         std::to_string(removed) + " removed, took #.##s";
}
std::string initial_scan(int folders, int written, int removed) {
  return "Initial scan complete: " + counts(folders, written, removed);
}
std::string scan(int folders, int written, int removed) {
  return "Scan complete: " + counts(folders, written, removed);
}
std::string periodic(int minutes) {
  return "Periodic rescan due (interval: " + std::to_string(minutes) + " min)";
}
std::string cleaned(int visited, int removed) {
  return "Cleanup complete: " + std::to_string(visited) + " folders visited, " +
         std::to_string(removed) + " desktop.ini removed";
}

platform::FileSystem& disk() { return platform::real_file_system(); }

// Forwards to another file system and notes every path whose existence or content is asked
// for, so that a test can tell which files a pass looked at.
class RecordingFileSystem final : public platform::FileSystem {
 public:
  explicit RecordingFileSystem(platform::FileSystem& inner) : inner_(inner) {}

  /// How often the path was tested or read so far.
  int looks_at(const Path& path) const {
    return static_cast<int>(std::count(looked_at_.begin(), looked_at_.end(), path));
  }

  /// Runs before every open of a folder by its path, with that path: a root is opened name by
  /// name from the folder its path starts at ("/", "C:\"), which alone is opened by path.
  std::function<void(const Path&)> on_open_folder;

  Result<std::unique_ptr<platform::Folder>> open_folder(const Path& folder) override {
    if (on_open_folder) on_open_folder(folder);
    return inner_.open_folder(folder);
  }
  Result<std::uint32_t> get_attributes(const Path& path) override {
    return inner_.get_attributes(path);
  }
  Result<void> set_attributes(const Path& path, std::uint32_t attributes) override {
    return inner_.set_attributes(path, attributes);
  }
  Result<std::string> read_file(const Path& path, std::size_t limit) override {
    looked_at_.push_back(path);
    return inner_.read_file(path, limit);
  }
  Result<std::unique_ptr<platform::WritableFile>> create_or_truncate(const Path& path) override {
    return inner_.create_or_truncate(path);
  }
  Result<void> delete_file(const Path& path) override { return inner_.delete_file(path); }
  Result<platform::FileType> file_type(const Path& path) override {
    looked_at_.push_back(path);
    return inner_.file_type(path);
  }
  Result<void> create_folders(const Path& folder) override { return inner_.create_folders(folder); }
  Result<void> replace_file(const Path& source, const Path& target) override {
    return inner_.replace_file(source, target);
  }
  Result<platform::Trust> trust(const Path& path) override { return inner_.trust(path); }
  Result<platform::Trust> secure_folder(const Path& folder) override {
    return inner_.secure_folder(folder);
  }
  Result<platform::TrustedRead> read_trusted(const Path& path, std::size_t limit) override {
    looked_at_.push_back(path);
    return inner_.read_trusted(path, limit);
  }
  Result<std::unique_ptr<platform::WritableFile>> create_new_file(const Path& path) override {
    return inner_.create_new_file(path);
  }
  Result<std::vector<platform::RemovedEntry>> secure_folder_files(const Path& folder) override {
    return inner_.secure_folder_files(folder);
  }

 private:
  platform::FileSystem& inner_;
  std::vector<Path> looked_at_;
};

// Runs the loop on a test clock: every sleep advances the clock by `tick_` at once, so a test
// runs hundreds of 30-second passes in milliseconds. `before_pass_` runs inside the sleep of each
// pass (numbered from 1) to change flags; the sleep of the pass after the last one asked for
// raises the stop request, which ends the loop.
class WorkerTest : public testing::Test {
 protected:
  void run(int passes, platform::FileSystem& fs = disk()) {
    WorkerSetup setup;
    setup.fs = &fs;
    setup.data_folder = data_;
    setup.now = [this] { return clock_; };
    setup.sleep = [this, passes](std::chrono::milliseconds duration) {
      EXPECT_EQ(duration, POLL_INTERVAL);
      clock_ += tick_;
      ++sleeps_;
      pass_starts_.push_back(worker_messages().size());
      if (sleeps_ > passes) {
        stop_.request();
      } else if (before_pass_) {
        before_pass_(sleeps_);
      }
    };
    setup.stop = &stop_;
    setup.default_icon = default_icon_;
    setup.watcher = watcher_;
    run_service_loop(setup);
  }

  // The worker's events on the structured log, elapsed times masked; each must be
  // informational.
  std::vector<std::string> worker_messages() const {
    std::vector<std::string> messages;
    for (const test_support::LogEvent& event : capture_.events()) {
      if (event.target != log::kTargetServiceImpl) continue;
      EXPECT_EQ(event.level, log::Level::Info) << event.message;
      messages.push_back(test_support::mask_elapsed(event.message));
    }
    return messages;
  }

  // The lines of service.log without their timestamps, elapsed times masked.
  std::vector<std::string> file_messages(platform::FileSystem& fs = disk()) const {
    Result<std::string> content = fs.read_file(log_, kWholeFile);
    EXPECT_TRUE(content.ok()) << "service.log is missing";
    std::vector<std::string> messages;
    if (!content) return messages;
    for (std::string& message : test_support::service_log_messages(*content)) {
      messages.push_back(test_support::mask_elapsed(std::move(message)));
    }
    return messages;
  }

  // The worker messages of one pass: from its sleep to the next (0: start-up). A stop is
  // logged at the head of the pass after the last sleep, so it shows in that pass's messages.
  std::vector<std::string> pass_messages(int pass) const {
    const std::vector<std::string> all = worker_messages();
    const std::size_t begin = pass == 0 ? 0 : pass_starts_.at(pass - 1);
    const std::size_t end =
        static_cast<std::size_t>(pass) < pass_starts_.size() ? pass_starts_[pass] : all.size();
    return {all.begin() + static_cast<std::ptrdiff_t>(begin),
            all.begin() + static_cast<std::ptrdiff_t>(end)};
  }

  // Both logs carry exactly `expected`.
  void expect_logs(const std::vector<std::string>& expected,
                   platform::FileSystem& fs = disk()) const {
    EXPECT_EQ(worker_messages(), expected);
    EXPECT_EQ(file_messages(fs), expected);
  }

  // Passes from..to logged nothing.
  void expect_quiet_passes(int from, int to) const {
    for (int pass = from; pass <= to; ++pass) {
      EXPECT_THAT(pass_messages(pass), IsEmpty()) << "pass " << pass;
    }
  }

  // A root with one content file, named in config.txt: the first scan writes one desktop.ini.
  void configure_root() {
    test_support::make_folder(data_);
    test_support::make_folder(root_);
    test_support::write_bytes(root_.child("photo.jpg"), "jpeg");
    test_support::write_bytes(config_, root_.display() + "\n");
  }

  void write_data_file(std::string_view name, std::string_view content) {
    test_support::make_folder(data_);
    test_support::write_bytes(data_.child(name), content);
  }

  bool data_file_exists(std::string_view name) const {
    return test_support::path_exists(data_.child(name));
  }

  void remove_data_file(std::string_view name) const {
    test_support::remove_tree(data_.child(name));
  }

  test_support::TempDir dir_;
  Path data_ = dir_ / "Tindral";
  Path log_ = data_.child("service.log");
  const Path config_ = data_.child("config.txt");
  const Path settings_ = data_.child("settings.txt");
  const Path root_ = dir_ / "Photos";
  const Path root_ini_ = root_.child("desktop.ini");
  const Path default_icon_ = (dir_ / "Program").child("folder.ico");
  const Path root_top_ = Path(root_.bytes().substr(0, platform::kSeparator == '/' ? 1 : 3));

  std::chrono::steady_clock::time_point clock_{};
  std::chrono::milliseconds tick_ = POLL_INTERVAL;
  int sleeps_ = 0;
  std::vector<std::size_t> pass_starts_;
  std::function<void(int pass)> before_pass_;
  std::shared_ptr<platform::ChangeWatcher> watcher_;
  platform::StopSignal stop_;
  test_support::LogCapture capture_;
};

TEST_F(WorkerTest, WithoutConfigTheFirstMessageCreatesTheDataFolder) {
  run(2);
  expect_logs({kStarted, kNoConfig, kStopRequested, kStopped});
  EXPECT_EQ(sleeps_, 3);
  EXPECT_FALSE(data_file_exists("paused.flag"));
}

TEST_F(WorkerTest, WithConfigTheStartUpScanRunsAndStopFlagEndsTheLoop) {
  configure_root();
  before_pass_ = [this](int pass) {
    if (pass == 1) write_data_file("stop.flag", "");
  };
  run(5);
  expect_logs({kStarted, initial_scan(1, 1, 0), kStopFlag, kStopped});
  EXPECT_EQ(sleeps_, 1);
  EXPECT_TRUE(test_support::path_exists(root_ini_));
  EXPECT_FALSE(data_file_exists("stop.flag"));
}

TEST_F(WorkerTest, StopFlagPresentAtStartEndsTheLoopAfterTheStartUpScan) {
  configure_root();
  write_data_file("stop.flag", "stop");
  run(5);
  expect_logs({kStarted, initial_scan(1, 1, 0), kStopFlag, kStopped});
  EXPECT_EQ(sleeps_, 0);
  EXPECT_FALSE(data_file_exists("stop.flag"));
  EXPECT_TRUE(test_support::path_exists(root_ini_));
}

TEST_F(WorkerTest, StopAndCleanupTogetherStopAndLeaveTheCleanupFlag) {
  configure_root();
  write_data_file("stop.flag", "");
  write_data_file("cleanup.flag", "");
  run(5);
  expect_logs({kStarted, initial_scan(1, 1, 0), kStopFlag, kStopped});
  EXPECT_TRUE(data_file_exists("cleanup.flag"));
  EXPECT_FALSE(data_file_exists("paused.flag"));
  EXPECT_TRUE(test_support::path_exists(root_ini_));
}

TEST_F(WorkerTest, StopRequestEndsTheLoopBeforeTheFlagsOfThatPass) {
  configure_root();
  write_data_file("cleanup.flag", "");
  write_data_file("rescan.flag", "");
  run(0);
  expect_logs({kStarted, initial_scan(1, 1, 0), kStopRequested, kStopped});
  EXPECT_TRUE(data_file_exists("cleanup.flag"));
  EXPECT_TRUE(data_file_exists("rescan.flag"));
}

TEST_F(WorkerTest, CleanupWhilePausedRewritesThePauseFlagEmptyAndStaysPaused) {
  configure_root();
  write_data_file("settings.txt", "interval=1\n");
  write_data_file("paused.flag", "paused by the front end");
  write_data_file("cleanup.flag", "");
  run(4);
  expect_logs({kStarted, initial_scan(1, 1, 0), kCleanupRequested, cleaned(1, 1), kStopRequested,
               kStopped});
  EXPECT_THAT(pass_messages(1), ElementsAre(kCleanupRequested, cleaned(1, 1)));
  expect_quiet_passes(2, 4);  // paused, although the one-minute interval has passed
  EXPECT_EQ(test_support::read_bytes(data_.child("paused.flag")), "");
  EXPECT_FALSE(data_file_exists("cleanup.flag"));
  EXPECT_FALSE(test_support::path_exists(root_ini_));
}

TEST_F(WorkerTest, CleanupPausesARunningService) {
  configure_root();
  before_pass_ = [this](int pass) {
    if (pass == 2) write_data_file("cleanup.flag", "");
  };
  tick_ = 15min;  // every pass would be due for a periodic rescan if not paused
  run(4);
  EXPECT_THAT(pass_messages(1), ElementsAre(periodic(15), scan(1, 0, 0)));
  EXPECT_THAT(pass_messages(2), ElementsAre(kCleanupRequested, cleaned(1, 1)));
  expect_quiet_passes(3, 4);
  EXPECT_EQ(test_support::read_bytes(data_.child("paused.flag")), "");
  EXPECT_EQ(worker_messages(), file_messages());
}

TEST_F(WorkerTest, CleanupErrorLeavesTheServicePaused) {
  test_support::make_folder(config_);  // present, but cannot be read
  write_data_file("cleanup.flag", "");
  run(2);
  expect_logs({kStarted, "Scan error: Failed to read config.txt", kCleanupRequested,
               "Cleanup error: Failed to read config.txt", kStopRequested, kStopped});
  EXPECT_TRUE(data_file_exists("paused.flag"));
  EXPECT_FALSE(data_file_exists("cleanup.flag"));
}

TEST_F(WorkerTest, RescanWaitsWhilePausedAndIsServedWhenThePauseEnds) {
  configure_root();
  write_data_file("paused.flag", "");
  write_data_file("rescan.flag", "a reason the service never reads");
  before_pass_ = [this](int pass) {
    if (pass == 3) {
      EXPECT_TRUE(data_file_exists("rescan.flag"));
      remove_data_file("paused.flag");
    }
  };
  run(3);
  expect_quiet_passes(1, 2);
  EXPECT_THAT(pass_messages(3), ElementsAre(kRescan, scan(1, 0, 0)));
  EXPECT_FALSE(data_file_exists("rescan.flag"));
  expect_logs({kStarted, initial_scan(1, 1, 0), kRescan, scan(1, 0, 0), kStopRequested, kStopped});
}

TEST_F(WorkerTest, RescanDueWithPeriodicRunsOneScanWithoutReadingSettings) {
  configure_root();
  write_data_file("settings.txt", "interval=1\n");
  RecordingFileSystem fs(disk());
  std::vector<int> settings_looks;  // before each pass
  before_pass_ = [&](int pass) {
    settings_looks.push_back(fs.looks_at(settings_));
    if (pass == 2) write_data_file("rescan.flag", "");
  };
  run(4, fs);
  settings_looks.push_back(fs.looks_at(settings_));
  // Pass 2 comes a minute after the start-up scan: due, but the on-demand rescan wins.
  EXPECT_THAT(pass_messages(2), ElementsAre(kRescan, scan(1, 0, 0)));
  EXPECT_EQ(settings_looks[2], settings_looks[1]) << "settings.txt was looked at in pass 2";
  EXPECT_GT(settings_looks[1], settings_looks[0]) << "settings.txt was not read in pass 1";
  // The interval restarts at the end of the on-demand rescan.
  expect_quiet_passes(3, 3);
  EXPECT_THAT(pass_messages(4), ElementsAre(periodic(1), scan(1, 0, 0)));
  expect_logs({kStarted, initial_scan(1, 1, 0), kRescan, scan(1, 0, 0), periodic(1), scan(1, 0, 0),
               kStopRequested, kStopped});
}

TEST_F(WorkerTest, FolderNamedPausedFlagPausesAndSurvivesACleanup) {
  configure_root();
  write_data_file("settings.txt", "interval=1\n");
  test_support::make_folder(data_.child("paused.flag"));
  before_pass_ = [this](int pass) {
    if (pass == 2) write_data_file("cleanup.flag", "");
  };
  run(4);
  expect_quiet_passes(1, 1);
  EXPECT_THAT(pass_messages(2), ElementsAre(kCleanupRequested, cleaned(1, 1)));
  expect_quiet_passes(3, 4);
  EXPECT_EQ(disk().file_type(data_.child("paused.flag")).value(), platform::FileType::Directory);
  EXPECT_FALSE(data_file_exists("cleanup.flag"));
  expect_logs({kStarted, initial_scan(1, 1, 0), kCleanupRequested, cleaned(1, 1), kStopRequested,
               kStopped});
}

// A stop request made while a walk runs ends it at the next folder: the worker says how far it
// got and then stops, however large the tree.
TEST_F(WorkerTest, AStopRequestCutsARunningScanShortAndStopsTheService) {
  configure_root();
  test_support::make_folder(root_.child("Album"));
  test_support::write_bytes(root_.child("Album").child("photo.jpg"), "jpeg");
  RecordingFileSystem fs(disk());
  fs.on_open_folder = [this](const Path& folder) {
    if (folder == root_top_) stop_.request();
  };
  run(5, fs);
  expect_logs({kStarted, "Initial scan cut short by a stop request: " + counts(1, 0, 0),
               kStopRequested, kStopped});
  EXPECT_EQ(sleeps_, 0);
  EXPECT_FALSE(test_support::path_exists(root_ini_));
}

TEST_F(WorkerTest, AStopRequestCutsARunningCleanupShortAndStopsTheService) {
  configure_root();
  test_support::make_folder(root_.child("Album"));
  test_support::write_bytes(root_.child("Album").child("photo.jpg"), "jpeg");
  RecordingFileSystem fs(disk());
  before_pass_ = [&](int pass) {
    if (pass != 1) return;
    write_data_file("cleanup.flag", "");
    fs.on_open_folder = [this](const Path& folder) {
      if (folder == root_top_) stop_.request();
    };
  };
  run(5, fs);
  expect_logs({kStarted, initial_scan(2, 2, 0), kCleanupRequested,
               "Cleanup cut short by a stop request: 1 folders visited, 1 desktop.ini removed",
               kStopRequested, kStopped});
  EXPECT_FALSE(test_support::path_exists(root_ini_));
  EXPECT_TRUE(test_support::path_exists(root_.child("Album").child("desktop.ini")));
}

// Whatever a walk throws (an allocation that fails in a huge folder) is the pass's error, and
// the service goes on with the next pass.
TEST_F(WorkerTest, AnExceptionInsideAPassIsLoggedAsItsErrorAndTheServiceGoesOn) {
  configure_root();
  RecordingFileSystem fs(disk());
  int opens = 0;
  fs.on_open_folder = [&](const Path& folder) {
    if (folder != root_top_) return;
    if (++opens == 1) throw std::bad_alloc();
    if (opens == 2) throw std::runtime_error("the disk went away");
  };
  write_data_file("rescan.flag", "");
  before_pass_ = [this](int pass) {
    if (pass == 2) write_data_file("rescan.flag", "");
  };
  run(3, fs);
  expect_logs({kStarted, "Scan error: Out of memory", kRescan, "Scan error: the disk went away",
               kRescan, scan(1, 1, 0), kStopRequested, kStopped});
}

TEST_F(WorkerTest, FailingScansAreReportedAndRestartTheInterval) {
  test_support::make_folder(config_);  // present, but cannot be read
  write_data_file("settings.txt", "interval=1\n");
  run(4);
  const std::string error = "Scan error: Failed to read config.txt";
  EXPECT_THAT(pass_messages(0), ElementsAre(kStarted, error));
  expect_quiet_passes(1, 1);
  EXPECT_THAT(pass_messages(2), ElementsAre(periodic(1), error));
  expect_quiet_passes(3, 3);
  EXPECT_THAT(pass_messages(4), ElementsAre(periodic(1), error));
  EXPECT_THAT(pass_messages(5), ElementsAre(kStopRequested, kStopped));
}

TEST_F(WorkerTest, RescanFlagThatCannotBeDeletedIsServedEveryPass) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows: a folder's read-only attribute does not keep its files from being "
                  "deleted; see the fake file system variant";
#else
  if (test_support::running_as_root()) {
    GTEST_SKIP() << "root deletes files in a read-only folder; see the fake file system variant";
  }
  configure_root();
  write_data_file("rescan.flag", "");
  ASSERT_EQ(::chmod(data_.bytes().c_str(), 0555), 0);
  run(2);
  ::chmod(data_.bytes().c_str(), 0755);
  EXPECT_THAT(pass_messages(1), ElementsAre(kRescan, scan(1, 0, 0)));
  EXPECT_THAT(pass_messages(2), ElementsAre(kRescan, scan(1, 0, 0)));
  EXPECT_TRUE(data_file_exists("rescan.flag"));
#endif
}

TEST_F(WorkerTest, ProductionSetupUsesTheRealDiskAndASleepThatStopEnds) {
  platform::StopSignal stop;
  const WorkerSetup setup = production_worker_setup(stop);
  EXPECT_EQ(setup.fs, &disk());
  EXPECT_EQ(setup.data_folder, data_folder());
  EXPECT_EQ(setup.stop, &stop);
  const auto before = setup.now();
  std::thread requester([&stop] {
    std::this_thread::sleep_for(50ms);
    stop.request();
  });
  setup.sleep(POLL_INTERVAL);  // would take 30 s if the stop did not end it
  requester.join();
  EXPECT_LT(setup.now() - before, POLL_INTERVAL);
}

TEST_F(WorkerTest, IntervalInSecondsIsComputedBeyondThirtyTwoBits) {
  configure_root();
  // 71582789 minutes are 4294967340 seconds; cut to 32 bits that would be 44 seconds.
  write_data_file("settings.txt", "interval=71582789\n");
  run(3);
  expect_quiet_passes(1, 3);
}

// ---- the schedule of periodic rescans ---------------------------------------------------------

struct PeriodicCase {
  const char* name;
  const char* settings;  // nullptr: no settings.txt; "/": a folder of that name
  bool config;
  std::chrono::milliseconds tick;
  int due_pass;  // the first pass that rescans
  int minutes;   // as logged
};

void PrintTo(const PeriodicCase& c, std::ostream* out) { *out << c.name; }

class PeriodicRescanTest : public WorkerTest, public testing::WithParamInterface<PeriodicCase> {};

TEST_P(PeriodicRescanTest, FirstDuePass) {
  const PeriodicCase& c = GetParam();
  if (c.config) configure_root();
  if (c.settings != nullptr && std::string_view(c.settings) == "/") {
    test_support::make_folder(settings_);
  } else if (c.settings != nullptr) {
    write_data_file("settings.txt", c.settings);
  }
  tick_ = c.tick;
  run(c.due_pass);
  const int folders = c.config ? 1 : 0;
  EXPECT_THAT(pass_messages(0),
              ElementsAre(kStarted, c.config ? initial_scan(1, 1, 0) : std::string(kNoConfig)));
  expect_quiet_passes(1, c.due_pass - 1);
  EXPECT_THAT(pass_messages(c.due_pass), ElementsAre(periodic(c.minutes), scan(folders, 0, 0)));
  EXPECT_EQ(worker_messages(), file_messages());
}

INSTANTIATE_TEST_SUITE_P(
    Schedule, PeriodicRescanTest,
    testing::Values(
        PeriodicCase{"DefaultIsFifteenMinutes", nullptr, true, 30s, 30, 15},
        PeriodicCase{"WithoutConfigZeroCounts", nullptr, false, 30s, 30, 15},
        PeriodicCase{"ZeroMeansFifteenMinutes", "interval=0\n", true, 30s, 30, 15},
        PeriodicCase{"UnreadableSettingsGiveTheDefault", "/", true, 30s, 30, 15},
        PeriodicCase{"InvalidUtf8SettingsGiveTheDefault", "interval=1\n\xFF", true, 30s, 30, 15},
        PeriodicCase{"OneMinuteIsDueOnTheSecondPass", "interval=1\n", true, 30s, 2, 1},
        PeriodicCase{"WholeSecondsOnly59Point9IsNotAMinute", "interval=1\n", true, 29950ms, 3, 1},
        PeriodicCase{"LongerIntervals", "Interval = 3\n", true, 30s, 6, 3}),
    [](const testing::TestParamInfo<PeriodicCase>& info) { return info.param.name; });

// ---- failures only the fake file system produces ---------------------------------------------

class WorkerFakeTest : public WorkerTest {
 protected:
  void SetUp() override {
    fs_.add_file(fake_root_.child("photo.jpg"), "jpeg");
    fs_.add_file(fake_data_.child("config.txt"), fake_root_.display() + "\n");
  }

  void run_on_fake(int passes) {
    data_ = fake_data_;
    log_ = fake_data_.child("service.log");
    run(passes, fs_);
  }

  FakeFileSystem fs_;
  const Path fake_data_ = Path::from_text("ProgramData").child("Tindral");
  // Absolute, as every root must be; the fake holds it in memory.
  const Path fake_root_ = dir_ / "FakePhotos";
};

TEST_F(WorkerFakeTest, RescanFlagThatCannotBeDeletedIsServedEveryPass) {
  fs_.add_file(fake_data_.child("rescan.flag"));
  fs_.refuse(FakeFileSystem::Op::DeleteFile, fake_data_.child("rescan.flag"));
  run_on_fake(3);
  for (int pass = 1; pass <= 3; ++pass) {
    EXPECT_THAT(pass_messages(pass), ElementsAre(kRescan, scan(1, 0, 0))) << "pass " << pass;
  }
  EXPECT_TRUE(fs_.contains(fake_data_.child("rescan.flag")));
  expect_logs({kStarted, initial_scan(1, 1, 0), kRescan, scan(1, 0, 0), kRescan, scan(1, 0, 0),
               kRescan, scan(1, 0, 0), kStopRequested, kStopped},
              fs_);
}

// The service acts with the machine's highest privileges on what the data folder says: a file
// there that an administrator cannot have written is as good as absent, and the log says which
// and why, once.
TEST_F(WorkerFakeTest, FilesOnlyAnotherAccountCouldHaveWrittenAreIgnoredAndReportedOnce) {
  fs_.set_trust(fake_data_.child("config.txt"), platform::Trust::OtherOwner);
  fs_.add_file(fake_data_.child("stop.flag"));
  fs_.set_trust(fake_data_.child("stop.flag"), platform::Trust::OpenToOthers);
  fs_.add_link(fake_data_.child("cleanup.flag"));
  run_on_fake(2);
  expect_logs({kStarted, "Ignoring config.txt: it is owned by another account",
               "Ignoring stop.flag: other accounts may change it",
               "Ignoring cleanup.flag: it is a link", kNoConfig, kStopRequested, kStopped},
              fs_);
  EXPECT_FALSE(fs_.contains(fake_root_.child("desktop.ini")));
  EXPECT_TRUE(fs_.contains(fake_data_.child("stop.flag")));
}

// What somebody else may have put into the folder while it was open goes, folder.ico for the
// default icon; what the administrators' own is stays theirs.
TEST_F(WorkerFakeTest, ADataFolderOthersCouldChangeIsSecuredWithTheFilesInItBeforeItIsUsed) {
  fs_.set_trust(fake_data_, platform::Trust::OpenToOthers);
  fs_.add_file(fake_data_.child("settings.txt"), "interval=1\n");
  fs_.set_trust(fake_data_.child("settings.txt"), platform::Trust::OtherOwner);
  fs_.add_file(fake_data_.child("folder.ico"), "planted");
  fs_.set_trust(fake_data_.child("folder.ico"), platform::Trust::OpenToOthers);
  fs_.add_link(fake_data_.child("stop.flag"));
  fs_.add_file(default_icon_, "default icon");
  run_on_fake(0);
  EXPECT_EQ(fs_.operations().front(), "secure_folder " + fake_data_.display());
  expect_logs(
      {kStarted, "Data folder was open to other accounts; only administrators may change it now",
       "Replaced folder.ico with the default icon: other accounts may change it",
       "Removed settings.txt from the data folder: it is owned by another account",
       "Removed stop.flag from the data folder: it is a link", initial_scan(1, 1, 0),
       kStopRequested, kStopped},
      fs_);
  EXPECT_EQ(fs_.content(fake_data_.child("folder.ico")), "default icon");
  EXPECT_EQ(*fs_.trust(fake_data_.child("folder.ico")), platform::Trust::Administrators);
  EXPECT_FALSE(fs_.contains(fake_data_.child("settings.txt")));
  EXPECT_TRUE(fs_.contains(fake_data_.child("config.txt")));
}

// Until the folder is the administrators' alone, nothing in it steers the service: neither
// config.txt nor a flag (stop.flag included; the stop control still works). Why is said once,
// and once securing succeeds the start-up scan follows and the flags count again.
TEST_F(WorkerFakeTest, ADataFolderThatCannotBeSecuredMakesEverySteeringFileAbsentUntilItIs) {
  fs_.refuse(FakeFileSystem::Op::Trust, fake_data_);
  for (const char* flag : {"cleanup.flag", "rescan.flag", "stop.flag"}) {
    fs_.add_file(fake_data_.child(flag));
  }
  before_pass_ = [this](int pass) {
    if (pass == 3) fs_.lift_refusal(FakeFileSystem::Op::Trust, fake_data_);
  };
  run_on_fake(5);
  expect_quiet_passes(1, 2);
  EXPECT_THAT(pass_messages(3), ElementsAre(initial_scan(1, 1, 0), kStopFlag, kStopped));
  expect_logs({kStarted, "Data folder could not be secured: Access is denied. (os error 5)",
               initial_scan(1, 1, 0), kStopFlag, kStopped},
              fs_);
  EXPECT_EQ(sleeps_, 3);
  EXPECT_TRUE(fs_.contains(fake_data_.child("cleanup.flag")));
}

// Deleted while the service runs, the folder comes back only when a line is logged, and then
// secured before the log writer puts anything in it; one that somebody made again in its place
// is secured at the next pass.
TEST_F(WorkerFakeTest, ADataFolderMadeAgainWhileTheServiceRunsIsSecuredTheSameWay) {
  tick_ = 16min;  // every pass is due for a rescan, which logs
  before_pass_ = [this](int pass) {
    if (pass == 1) {
      fs_.take_out(fake_data_);
      fs_.clear_operations();
    }
    if (pass == 3) {
      fs_.set_trust(fake_data_, platform::Trust::OpenToOthers);
      fs_.add_file(fake_data_.child("rescan.flag"));
      fs_.set_trust(fake_data_.child("rescan.flag"), platform::Trust::OtherOwner);
    }
  };
  run_on_fake(3);
  ASSERT_FALSE(fs_.operations().empty());
  EXPECT_EQ(fs_.operations().front(), "secure_folder " + fake_data_.display());
  EXPECT_THAT(pass_messages(1), ElementsAre(periodic(15), scan(0, 0, 0)));
  EXPECT_THAT(
      pass_messages(3),
      ElementsAre("Data folder was open to other accounts; only administrators may change it now",
                  "Removed rescan.flag from the data folder: it is owned by another account",
                  periodic(15), scan(0, 0, 0)));
}

// Whoever watches many machines finds in their event logs what needs an administrator: the
// failures as errors, what the service repaired or ignored as warnings. The worker's lines stay
// informational in its own logs, and the rest of them stay out of the event log.
TEST_F(WorkerFakeTest, WhatNeedsAnAdministratorAlsoGoesToTheEventLog) {
  fs_.set_trust(fake_data_, platform::Trust::OpenToOthers);
  fs_.add_file(fake_data_.child("config.txt"), "\xFF\n");
  fs_.add_file(fake_data_.child("stop.flag"));
  fs_.set_trust(fake_data_.child("stop.flag"), platform::Trust::OpenToOthers);
  fs_.add_file(fake_data_.child("cleanup.flag"));
  // Once the folder is the administrators' again, a flag somebody else made in it is ignored.
  fs_.before(FakeFileSystem::Op::Trust, fake_data_.child("paused.flag"), [this] {
    fs_.add_file(fake_data_.child("paused.flag"));
    fs_.set_trust(fake_data_.child("paused.flag"), platform::Trust::OtherOwner);
  });
  run_on_fake(1);
  const std::string data_folder =
      "Data folder was open to other accounts; only administrators may change it now";
  const std::string removed =
      "Removed stop.flag from the data folder: other accounts may change it";
  const std::string ignored = "Ignoring paused.flag: it is owned by another account";
  const std::string scan_error = "Scan error: Failed to read config.txt";
  const std::string cleanup_error = "Cleanup error: Failed to read config.txt";
  expect_logs({kStarted, data_folder, removed, ignored, scan_error, kCleanupRequested,
               cleanup_error, kStopRequested, kStopped},
              fs_);
  using test_support::ReportedEvent;
  EXPECT_THAT(capture_.reported(), ElementsAre(ReportedEvent{log::Level::Warn, data_folder},
                                               ReportedEvent{log::Level::Warn, removed},
                                               ReportedEvent{log::Level::Warn, ignored},
                                               ReportedEvent{log::Level::Error, scan_error},
                                               ReportedEvent{log::Level::Error, cleanup_error}));
}

// Why a root is skipped is read where administrators look: in service.log before the summary of
// each scan (a pass without a scan adds nothing) and in the event log, once per scan each; the
// structured log has each once, as the scanner's warning.
TEST_F(WorkerFakeTest, SkippedRootsAreReportedOncePerScanInServiceLogAndTheEventLog) {
  const std::string sep{platform::kSeparator};
  const std::string root = fake_root_.display();
  fs_.add_folder(fake_root_.child("Sub"));
  fs_.add_file(fake_data_.child("config.txt"), root + "\nrelative" + sep + "x\n%TINDRAL_NOT_SET%" +
                                                   sep + "x\n" + root + sep + "Sub\n" + root + sep +
                                                   "\n");
  fs_.add_file(fake_data_.child("settings.txt"), "interval=1\n");
  before_pass_ = [this](int pass) {
    if (pass == 3) fs_.add_file(fake_data_.child("cleanup.flag"));
  };
  run_on_fake(3);
  const std::vector<std::string> skipped = {
      "Root path is not absolute, skipping: relative" + sep + "x",
      "Root path is not absolute, skipping: %TINDRAL_NOT_SET%" + sep + "x",
      "Root path lies inside " + root + ", skipping: " + root + sep + "Sub",
      "Root path is already listed as " + root + ", skipping: " + root + sep};
  // The cleanup reports the lines that name no root; the roots it passes over it does not.
  const std::vector<std::string> lines_naming_no_root(skipped.begin(), skipped.begin() + 2);
  std::vector<std::string> expected_file = {kStarted};
  expected_file.insert(expected_file.end(), skipped.begin(), skipped.end());
  expected_file.push_back(initial_scan(2, 1, 0));
  expected_file.push_back(periodic(1));
  expected_file.insert(expected_file.end(), skipped.begin(), skipped.end());
  expected_file.push_back(scan(2, 0, 0));
  expected_file.push_back(kCleanupRequested);
  expected_file.insert(expected_file.end(), lines_naming_no_root.begin(),
                       lines_naming_no_root.end());
  expected_file.push_back(cleaned(2, 1));
  expected_file.push_back(kStopRequested);
  expected_file.push_back(kStopped);
  EXPECT_EQ(file_messages(fs_), expected_file);
  EXPECT_EQ(worker_messages(),
            (std::vector<std::string>{kStarted, initial_scan(2, 1, 0), periodic(1), scan(2, 0, 0),
                                      kCleanupRequested, cleaned(2, 1), kStopRequested, kStopped}));
  std::vector<std::string> warned = skipped;
  warned.insert(warned.end(), skipped.begin(), skipped.end());
  warned.insert(warned.end(), lines_naming_no_root.begin(), lines_naming_no_root.end());
  std::vector<test_support::ReportedEvent> reported;
  for (const std::string& warning : warned) reported.push_back({log::Level::Warn, warning});
  EXPECT_EQ(capture_.reported(), reported);
  std::vector<std::string> scanner_warnings;
  for (const test_support::LogEvent& event : capture_.events()) {
    if (event.level == log::Level::Warn) scanner_warnings.push_back(event.message);
  }
  EXPECT_EQ(scanner_warnings, warned);
}

TEST_F(WorkerFakeTest, PauseFlagThatCannotBeCreatedLeavesTheServiceRunning) {
  fs_.add_file(fake_data_.child("cleanup.flag"));
  fs_.add_file(fake_data_.child("settings.txt"), "interval=1\n");
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, fake_data_.child("paused.flag"));
  run_on_fake(2);
  EXPECT_THAT(pass_messages(1), ElementsAre(kCleanupRequested, cleaned(1, 1)));
  // Not paused: the periodic rescan a minute after the start-up scan writes the file again.
  EXPECT_THAT(pass_messages(2), ElementsAre(periodic(1), scan(1, 1, 0)));
  EXPECT_FALSE(fs_.contains(fake_data_.child("paused.flag")));
}

// The warning follows the summary in both logs, of a scan and of a cleanup alike.
TEST_F(WorkerFakeTest, FoldersWhereDesktopIniCouldNotBeChangedAreReportedAfterTheSummary) {
  const Path old = fake_root_.child("Old");
  fs_.add_file(old.child("desktop.ini"), desktop_ini_content(), platform::kAttrHidden);
  fs_.add_file(fake_data_.child("cleanup.flag"));
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, fake_root_.child(kNewDesktopIniName));
  fs_.refuse(FakeFileSystem::Op::DeleteFile, old.child("desktop.ini"));
  run_on_fake(1);
  const std::string cause = ": Access is denied. (os error 5)";
  const std::string not_updated =
      "Could not update desktop.ini in 2 folders; first: " + old.display() + cause;
  const std::string not_removed =
      "Could not remove desktop.ini in 1 folder; first: " + old.display() + cause;
  expect_logs({kStarted, initial_scan(2, 0, 0), not_updated, kCleanupRequested, cleaned(2, 0),
               not_removed, kStopRequested, kStopped},
              fs_);
  // Once each in the event log, where monitoring counts them.
  using test_support::ReportedEvent;
  EXPECT_THAT(capture_.reported(), ElementsAre(ReportedEvent{log::Level::Warn, not_updated},
                                               ReportedEvent{log::Level::Warn, not_removed}));
}

TEST_F(WorkerFakeTest, ServiceLogFailuresDoNotStopTheLoop) {
  fs_.add_file(fake_data_.child("rescan.flag"));
  fs_.refuse(FakeFileSystem::Op::ReplaceFile, fake_data_.child("service.log.tmp"));
  run_on_fake(1);
  EXPECT_EQ(worker_messages(), (std::vector<std::string>{kStarted, initial_scan(1, 1, 0), kRescan,
                                                         scan(1, 0, 0), kStopRequested, kStopped}));
  EXPECT_FALSE(fs_.contains(fake_data_.child("service.log")));
}

// ---- changes between passes, told by a watcher the test drives ------------------------------

// Tells the worker what the test queues, at the test's times: wait() runs every step that is
// due, hands out queued changes at once and otherwise moves the test clock to the next step or
// to the end of the timeout, so that a test spans minutes of service time in milliseconds.
class ScriptedWatcher final : public platform::ChangeWatcher {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  ScriptedWatcher(TimePoint& clock, platform::ChangeSource source)
      : clock_(clock), source_(source) {}

  /// Runs `action` at the first wait at or after `at` (service time since the start).
  void at(std::chrono::milliseconds at, std::function<void()> action) {
    steps_.push_back({TimePoint{} + at, std::move(action)});
  }
  /// A change read from the platform, handed out at the next wait.
  void change(std::size_t root, platform::ChangeKind kind, std::vector<std::string> names) {
    queued_.push_back({root, kind, std::move(names)});
  }

  std::vector<platform::ChangeSource> watch(std::vector<platform::RootToWatch> roots) override {
    ++uses_;
    watches_.emplace_back();
    for (const platform::RootToWatch& root : roots) watches_.back().push_back(root.location);
    return std::vector<platform::ChangeSource>(roots.size(), source_);
  }

  platform::WakeReason wait(std::chrono::milliseconds timeout,
                            const platform::StopSignal& stop) override {
    ++uses_;
    ++waits_;
    const TimePoint deadline = clock_ + timeout;
    for (;;) {
      run_due_steps();
      if (stop.requested()) return platform::WakeReason::Stop;
      if (!queued_.empty()) return platform::WakeReason::Changes;
      const TimePoint next = next_step();
      if (next > deadline) break;
      clock_ = std::max(clock_, next);
    }
    clock_ = deadline;
    return platform::WakeReason::Timeout;
  }

  void take(std::vector<platform::Change>& out) override {
    ++uses_;
    out.insert(out.end(), queued_.begin(), queued_.end());
    queued_.clear();
  }

  void folder_entered(std::size_t, const std::vector<std::string>&, platform::Folder&) override {
    ++uses_;
  }

  int uses() const { return uses_; }
  int waits() const { return waits_; }
  /// The locations of each watch() call.
  const std::vector<std::vector<Path>>& watches() const { return watches_; }

 private:
  struct Step {
    TimePoint at;
    std::function<void()> action;
  };

  void run_due_steps() {
    for (std::size_t i = 0; i < steps_.size();) {
      if (steps_[i].at > clock_) {
        ++i;
        continue;
      }
      std::function<void()> action = std::move(steps_[i].action);
      steps_.erase(steps_.begin() + static_cast<std::ptrdiff_t>(i));
      action();
    }
  }

  TimePoint next_step() const {
    TimePoint next = TimePoint::max();
    for (const Step& step : steps_) next = std::min(next, step.at);
    return next;
  }

  TimePoint& clock_;
  platform::ChangeSource source_;
  std::vector<Step> steps_;
  std::vector<platform::Change> queued_;
  std::vector<std::vector<Path>> watches_;
  int uses_ = 0;
  int waits_ = 0;
};

std::string watching(const Path& root, std::string_view source) {
  return "Watching " + root.display() + " for changes: " + std::string(source);
}
std::string updated(int looked_at, int written, int removed) {
  return "Updated after changes: " + std::to_string(looked_at) + " folders looked at, " +
         std::to_string(written) + " written, " + std::to_string(removed) + " removed";
}

class WorkerChangesTest : public WorkerTest {
 protected:
  ScriptedWatcher& watch_with(platform::ChangeSource source = platform::ChangeSource::Inotify) {
    auto watcher = std::make_shared<ScriptedWatcher>(clock_, source);
    watcher_ = watcher;
    return *watcher;
  }

  // The service time now, for the tests that say when something happened.
  std::chrono::milliseconds service_time() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.time_since_epoch());
  }

  // A photo in a new chain of `levels` folders below `top` (a subfolder of the root); the
  // change the platform reports for it names the chain's first folder.
  void copy_photo_into_new_chain(std::string_view top, int levels) {
    Path folder = root_.child(top);
    for (int level = 1; level < levels; ++level)
      folder = folder.child("level" + std::to_string(level));
    test_support::make_folder(folder);
    test_support::write_bytes(folder.child("photo.jpg"), "jpeg");
  }

  bool decorated(const Path& folder) const {
    return test_support::path_exists(folder.child("desktop.ini"));
  }

  void stop_at(std::chrono::milliseconds at) {
    static_cast<ScriptedWatcher&>(*watcher_).at(at, [this] { stop_.request(); });
  }
};

// A photo copied into a new 5-level chain gets its icons within the gathering, long before the
// next pass; the summary follows at once, being the first, and the watch saw every folder of the
// start-up scan.
TEST_F(WorkerChangesTest, ChangesLeadToIconsWithoutWaitingForThePass) {
  configure_root();
  ScriptedWatcher& watcher = watch_with();
  std::chrono::milliseconds decorated_at{0};
  watcher.at(1s, [&] {
    copy_photo_into_new_chain("Trip", 5);
    watcher.change(0, platform::ChangeKind::Appeared, {"Trip"});
  });
  watcher.at(1500ms, [&] {
    if (decorated(
            root_.child("Trip").child("level1").child("level2").child("level3").child("level4"))) {
      decorated_at = service_time();
    }
  });
  stop_at(2s);
  run(0);
  EXPECT_EQ(decorated_at, 1500ms);
  EXPECT_TRUE(decorated(root_.child("Trip")));
  expect_logs({kStarted, watching(root_, "inotify"), initial_scan(1, 1, 0), updated(5, 5, 0),
               kStopRequested, kStopped});
  EXPECT_EQ(watcher.watches(), (std::vector<std::vector<Path>>{{root_}}));
  EXPECT_EQ(sleeps_, 0);
}

// What changes led to is said at most once a minute, summed since the line before; a change
// that leads to nothing written or removed adds no line of its own.
TEST_F(WorkerChangesTest, TheSummaryComesAtMostOnceAMinuteAndSumsWhatCameBetween) {
  configure_root();
  ScriptedWatcher& watcher = watch_with(platform::ChangeSource::Fanotify);
  for (const auto& [at, top] : {std::pair{1s, "A"}, std::pair{20s, "B"}, std::pair{70s, "C"}}) {
    watcher.at(at, [&watcher, this, top = std::string(top)] {
      copy_photo_into_new_chain(top, 1);
      watcher.change(0, platform::ChangeKind::Appeared, {top});
    });
  }
  // A file gone from a folder that keeps others: looked at, nothing to change.
  watcher.at(140s, [&] {
    test_support::remove_tree(root_.child("B").child("photo.jpg"));
    test_support::write_bytes(root_.child("B").child("notes.txt"), "more");
    watcher.change(0, platform::ChangeKind::Disappeared, {"B", "photo.jpg"});
  });
  stop_at(200s);
  run(0);
  expect_logs({kStarted, watching(root_, "fanotify"), initial_scan(1, 1, 0), updated(1, 1, 0),
               updated(2, 2, 0), kStopRequested, kStopped});
}

// A change that says changes were lost walks that root whole, and no other.
TEST_F(WorkerChangesTest, ARescanChangeWalksThatRootAlone) {
  configure_root();
  const Path music = dir_ / "Music";
  test_support::make_folder(music);
  test_support::write_bytes(music.child("song.mp3"), "mp3");
  test_support::write_bytes(config_, root_.display() + "\n" + music.display() + "\n");
  ScriptedWatcher& watcher = watch_with();
  watcher.at(1s, [&] {
    copy_photo_into_new_chain("New", 1);
    test_support::make_folder(music.child("New"));
    test_support::write_bytes(music.child("New").child("song.mp3"), "mp3");
    watcher.change(0, platform::ChangeKind::Rescan, {});
  });
  stop_at(2s);
  run(0);
  EXPECT_TRUE(decorated(root_.child("New")));
  EXPECT_FALSE(decorated(music.child("New")));
  expect_logs({kStarted, watching(root_, "inotify"), watching(music, "inotify"),
               initial_scan(2, 2, 0), updated(2, 1, 0), kStopRequested, kStopped});
}

// Without a source of changes (watch=off, or none the platform gives) the passes sleep as they
// always did; watch=off does not even ask the watcher.
struct NoSourceCase {
  const char* name;
  const char* settings;
  platform::ChangeSource source;
  bool watched;
};

class WorkerNoSourceTest : public WorkerChangesTest,
                           public testing::WithParamInterface<NoSourceCase> {};

TEST_P(WorkerNoSourceTest, PassesSleep) {
  const NoSourceCase& c = GetParam();
  configure_root();
  write_data_file("settings.txt", c.settings);
  ScriptedWatcher& watcher = watch_with(c.source);
  run(2);
  std::vector<std::string> expected{kStarted};
  if (c.watched) expected.push_back(watching(root_, "none (interval rescans only)"));
  expected.insert(expected.end(), {initial_scan(1, 1, 0), kStopRequested, kStopped});
  expect_logs(expected);
  EXPECT_EQ(sleeps_, 3);
  EXPECT_EQ(watcher.waits(), 0);
  if (c.watched) {
    EXPECT_EQ(watcher.watches().size(), 1u);
  } else {
    EXPECT_EQ(watcher.uses(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WorkerNoSourceTest,
    testing::Values(NoSourceCase{"WatchOff", "Watch = OFF\n", platform::ChangeSource::Fanotify,
                                 false},
                    NoSourceCase{"NoneGiven", "watch=on\n", platform::ChangeSource::None, true}),
    [](const testing::TestParamInfo<NoSourceCase>& info) { return info.param.name; });

// While paused, changes wait; the pass that finds the pause ended acts on them.
TEST_F(WorkerChangesTest, ChangesWaitWhilePausedAndAreActedOnWhenThePauseEnds) {
  configure_root();
  ScriptedWatcher& watcher = watch_with();
  bool decorated_while_paused = false;
  watcher.at(1s, [&] {
    write_data_file("paused.flag", "");
    copy_photo_into_new_chain("Trip", 2);
    watcher.change(0, platform::ChangeKind::Appeared, {"Trip"});
  });
  watcher.at(40s, [&] { remove_data_file("paused.flag"); });
  watcher.at(59s, [&] { decorated_while_paused = decorated(root_.child("Trip")); });
  stop_at(61s);
  run(0);
  EXPECT_FALSE(decorated_while_paused);
  EXPECT_TRUE(decorated(root_.child("Trip").child("level1")));
  expect_logs({kStarted, watching(root_, "inotify"), initial_scan(1, 1, 0), updated(2, 2, 0),
               kStopRequested, kStopped});
}

// A stop while changes are gathered ends the service there: nothing is acted on and no more
// service time passes.
TEST_F(WorkerChangesTest, AStopWhileChangesAreGatheredEndsTheServiceAtOnce) {
  configure_root();
  ScriptedWatcher& watcher = watch_with();
  watcher.at(1s, [&] {
    copy_photo_into_new_chain("Trip", 1);
    watcher.change(0, platform::ChangeKind::Appeared, {"Trip"});
  });
  stop_at(1100ms);
  run(0);
  EXPECT_EQ(service_time(), 1100ms);
  EXPECT_FALSE(decorated(root_.child("Trip")));
  expect_logs(
      {kStarted, watching(root_, "inotify"), initial_scan(1, 1, 0), kStopRequested, kStopped});
}

// A folder put in place of the root says nothing to a watcher; the next pass sees that the root
// is another folder, watches it and walks it.
TEST_F(WorkerChangesTest, ARootReplacedBetweenPassesIsWatchedAgainAndWalked) {
  configure_root();
  ScriptedWatcher& watcher = watch_with();
  watcher.at(1s, [&] {
    test_support::rename_entry(root_, dir_ / "Photos.old");
    copy_photo_into_new_chain("Sub", 1);
  });
  bool decorated_before_the_pass = true;
  watcher.at(29s, [&] { decorated_before_the_pass = decorated(root_.child("Sub")); });
  stop_at(31s);
  run(0);
  EXPECT_FALSE(decorated_before_the_pass);
  EXPECT_TRUE(decorated(root_.child("Sub")));
  EXPECT_TRUE(decorated(root_));
  EXPECT_EQ(watcher.watches().size(), 2u);
  expect_logs({kStarted, watching(root_, "inotify"), initial_scan(1, 1, 0), updated(2, 2, 0),
               kStopRequested, kStopped});
}

}  // namespace
}  // namespace tindral
