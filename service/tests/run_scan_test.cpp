#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop_ini.h"
#include "log.h"
#include "log_targets.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "run_scan.h"
#include "support/fake_file_system.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"
#include "text.h"
#include "tree_walk.h"

namespace tindral {
namespace {

using test_support::FakeFileSystem;
using test_support::LogEvent;
using testing::ElementsAre;

platform::FileSystem& disk() { return platform::real_file_system(); }

LogEvent info(std::string message) {
  return {log::Level::Info, std::string(log::kTargetScanner), std::move(message)};
}

LogEvent warn(std::string message) {
  return {log::Level::Warn, std::string(log::kTargetScanner), std::move(message)};
}

class RunScanTest : public testing::Test {
 protected:
  void write_config(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    test_support::write_bytes(config_, text);
  }

  Result<ScanStats> scan(const InteractiveUserLookup& lookup = no_console_user) {
    return run_scan(disk(), config_, lookup);
  }

  // The captured events with the elapsed time masked.
  std::vector<LogEvent> events() const {
    std::vector<LogEvent> events = capture_.events();
    for (LogEvent& event : events) event.message = test_support::mask_elapsed(event.message);
    return events;
  }

  // A lookup that runs while config.txt is being read, on its last line (which names the user
  // and, with the name filled in, no existing folder), after every earlier root was found: it
  // stands for a change on disk between reading the configuration and walking the roots.
  InteractiveUserLookup while_loading(std::function<void()> change) {
    return [this, change = std::move(change)]() -> std::optional<InteractiveUser> {
      change();
      return InteractiveUser{"nobody", dir_.path().display()};
    };
  }

  static std::optional<InteractiveUser> no_console_user() { return std::nullopt; }

  test_support::TempDir dir_;
  const Path config_ = dir_ / "config.txt";
  const Path photos_ = dir_ / "Photos";
  // A line that names the console user and no existing folder.
  const std::string trigger_line_ = (dir_ / "%USERNAME%-missing").display();
  test_support::LogCapture capture_;
};

TEST_F(RunScanTest, WalksEachRootAndLogsStartAndSummaryButNotTheDebugLine) {
  test_support::make_folder(photos_.child("Trip"));
  test_support::write_bytes(photos_.child("Trip").child("beach.jpg"), "jpeg");
  write_config({photos_.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok()) << stats.error().message();
  EXPECT_EQ(stats->folders_scanned, 2u);
  EXPECT_EQ(stats->ini_written, 2u);
  EXPECT_EQ(stats->ini_removed, 0u);
  EXPECT_EQ(test_support::read_bytes(photos_.child("Trip").child("desktop.ini")),
            desktop_ini_content());
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 1 root path(s)"),
                                    info("Scan complete: 2 folders, 2 written, 0 removed, "
                                         "took #.#s")));
  EXPECT_EQ(capture_.messages().back(), "Scan complete: 2 folders, 2 written, 0 removed, took " +
                                            text::format_seconds(stats->elapsed, 1));
}

// However config.txt spells a folder again, or lists one inside another in either order, each
// folder is walked and counted once, and each extra line is skipped with one warning. Natively a
// name that differs in letter case is another folder.
TEST_F(RunScanTest, ARootListedAgainOrInsideAnotherIsWalkedOnce) {
  const bool windows = platform::kSeparator == '\\';
  const Path trip = photos_.child("Trip");
  test_support::make_folder(trip);
  test_support::write_bytes(trip.child("a.jpg"), "jpeg");
  const std::string sep{platform::kSeparator};
  const std::string photos = photos_.display();
  std::vector<std::string> again = {photos + sep,
                                    photos + sep + "." + sep + sep + "Trip" + sep + ".." + sep};
  std::string forward_slashes = photos;
  std::replace(forward_slashes.begin(), forward_slashes.end(), '\\', '/');
  if (windows) again.push_back(text::to_upper(forward_slashes) + "/");
  const std::string lower = (dir_ / "photos").display();
  if (!windows) {
    test_support::make_folder(dir_ / "photos");
    test_support::write_bytes((dir_ / "photos").child("b.jpg"), "jpeg");
  }
  std::vector<std::string> lines = {trip.display(), photos};
  lines.insert(lines.end(), again.begin(), again.end());
  lines.push_back(lower);
  write_config(lines);

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, windows ? 2u : 3u);
  EXPECT_EQ(stats->ini_written, windows ? 2u : 3u);
  std::vector<LogEvent> expected = {
      info("Starting scan of " + std::to_string(lines.size()) + " root path(s)"),
      warn("Root path lies inside " + photos + ", skipping: " + trip.display())};
  for (const std::string& line : again) {
    expected.push_back(warn("Root path is already listed as " + photos + ", skipping: " + line));
  }
  if (windows) {
    expected.push_back(warn("Root path is already listed as " + photos + ", skipping: " + lower));
  }
  expected.push_back(
      info("Scan complete: " + std::string(windows ? "2 folders, 2" : "3 folders, 3") +
           " written, 0 removed, took #.#s"));
  EXPECT_EQ(events(), expected);
  EXPECT_EQ(stats->skipped_roots.size(), expected.size() - 2);
}

TEST_F(RunScanTest, ProtectedRootIsSkippedWithAWarning) {
  const Path tools = (dir_ / "system32").child("Tools");
  test_support::make_folder(tools);
  test_support::write_bytes(tools.child("tool.exe"), "MZ");
  write_config({tools.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_FALSE(test_support::path_exists(tools.child("desktop.ini")));
  EXPECT_THAT(
      events(),
      ElementsAre(info("Starting scan of 1 root path(s)"),
                  warn("Root path is a protected system directory, skipping: " + tools.display()),
                  info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

// ---- roots that lead somewhere else than they read ---------------------------------------------

TEST_F(RunScanTest, RootsSpelledRoundAboutIntoAProtectedFolderAreRefused) {
  const Path tools = (dir_ / "system32").child("Tools");
  test_support::make_folder(tools);
  test_support::make_folder(photos_);
  test_support::write_bytes(tools.child("tool.exe"), "MZ");
  const std::string sep{platform::kSeparator};
  const std::string relative = "system32" + sep + "Tools";
  write_config({photos_.display() + sep + ".." + sep + relative,
                dir_.path().display() + sep + sep + "system32" + sep + sep + "Tools" + sep,
                relative});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_FALSE(test_support::path_exists(tools.child("desktop.ini")));
  const LogEvent refused =
      warn("Root path is a protected system directory, skipping: " + tools.display());
  EXPECT_THAT(events(), ElementsAre(warn("Root path is not absolute, skipping: " + relative),
                                    info("Starting scan of 2 root path(s)"), refused, refused,
                                    info("Scan complete: 0 folders, 0 written, 0 removed, "
                                         "took #.#s")));
}

// The link's own path is not protected; the folder it opens is.
TEST_F(RunScanTest, RootThroughALinkIntoAProtectedFolderIsRefused) {
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW reports success and creates nothing";
  }
  const Path tools = (dir_ / "system32").child("Tools");
  test_support::make_folder(tools);
  test_support::write_bytes(tools.child("tool.exe"), "MZ");
  const Path pictures = dir_ / "Pictures";
  if (!test_support::make_symlink(tools, pictures, true)) GTEST_SKIP() << "no symbolic links here";
  write_config({pictures.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_FALSE(test_support::path_exists(tools.child("desktop.ini")));
  EXPECT_THAT(events(),
              ElementsAre(info("Starting scan of 1 root path(s)"),
                          warn("Root path is a protected system directory, skipping: " +
                               pictures.display()),
                          info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

// Wine's drive Z: is the Unix root, so the Windows folder of the prefix has a second name there
// that no text rule knows; the folder it opens tells where it really is.
TEST_F(RunScanTest, TheWindowsFolderUnderAnotherDriveIsRefused) {
  const platform::EnvValue prefix = platform::get_env("WINEPREFIX");
  if (!test_support::running_under_wine() || !prefix.present()) {
    GTEST_SKIP() << "a second name for the Windows folder needs Wine's drive Z:";
  }
  std::string windows = "Z:" + prefix.value + "/drive_c/windows";
  std::replace(windows.begin(), windows.end(), '/', '\\');
  write_config({windows});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_THAT(events(),
              ElementsAre(info("Starting scan of 1 root path(s)"),
                          warn("Root path is a protected system directory, skipping: " + windows),
                          info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

// ---- changes between loading config.txt and walking, made on demand by the fake --------------

class RunScanFakeTest : public RunScanTest {
 protected:
  Result<ScanStats> scan_fake() { return run_scan(fs_, config_, no_console_user); }

  // Makes `change` right before the driver opens `root`, after loading config.txt found it
  // there.
  void change_before_walk(const Path& root, std::function<void()> change) {
    fs_.before(FakeFileSystem::Op::FileType, root, [this, root, change = std::move(change)] {
      fs_.before(FakeFileSystem::Op::OpenFolder, root, change);
    });
  }

  FakeFileSystem fs_;
};

TEST_F(RunScanFakeTest, RootsThatVanishAfterLoadingAreReportedAsNotFound) {
  // The missing protected root is reported as missing: existence is tested first.
  const Path gone_protected = (dir_ / "system32").child("Gone");
  fs_.add_file(photos_.child("a.jpg"), "jpeg");
  fs_.add_folder(gone_protected);
  fs_.add_file(config_, photos_.display() + "\n" + gone_protected.display() + "\n");
  change_before_walk(photos_, [&] {
    fs_.take_out(photos_);
    fs_.take_out(gone_protected);
  });

  Result<ScanStats> stats = scan_fake();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_THAT(events(),
              ElementsAre(info("Starting scan of 2 root path(s)"),
                          warn("Root path not found, skipping: " + photos_.display()),
                          warn("Root path not found, skipping: " + gone_protected.display()),
                          info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

// Only a root that is walked takes in the roots inside it: here the outer one leads into a
// protected folder, and the inner one, through a link an administrator made, out of it again.
TEST_F(RunScanFakeTest, ARootInsideARefusedRootIsWalkedItself) {
  const Path tools = (dir_ / "system32").child("Tools");
  const Path outer = dir_ / "Tools";
  const Path inner = outer.child("Shared");
  fs_.add_file(photos_.child("a.jpg"), "jpeg");
  fs_.add_folder(tools);
  fs_.add_symlink(outer, tools, true);
  fs_.add_symlink(tools.child("Shared"), photos_, true);
  fs_.add_file(config_, outer.display() + "\n" + inner.display() + "\n");

  Result<ScanStats> stats = scan_fake();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 1u);
  EXPECT_EQ(stats->ini_written, 1u);
  EXPECT_THAT(
      events(),
      ElementsAre(info("Starting scan of 2 root path(s)"),
                  warn("Root path is a protected system directory, skipping: " + outer.display()),
                  info("Scan complete: 1 folders, 1 written, 0 removed, took #.#s")));
}

TEST_F(RunScanFakeTest, RootReplacedByAFileIsCountedOnceAndLeftAlone) {
  fs_.add_folder(photos_);
  fs_.add_file(config_, photos_.display() + "\n");
  change_before_walk(photos_, [&] {
    fs_.take_out(photos_);
    fs_.add_file(photos_, "now a file");
  });

  Result<ScanStats> stats = scan_fake();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 1u);
  EXPECT_EQ(stats->ini_written, 0u);
  EXPECT_EQ(fs_.content(photos_), "now a file");
}

// A foreign desktop.ini left alone is no failure; a refused write or removal is, and the first
// one is named after the summary.
TEST_F(RunScanFakeTest, FoldersWhereDesktopIniCouldNotBeChangedAreCountedAndTheFirstNamed) {
  const Path denied = photos_.child("Denied");
  const Path full = photos_.child("Full");
  const Path stuck = photos_.child("Stuck");
  fs_.add_file(denied.child("a.jpg"));
  fs_.add_file(photos_.child("Foreign").child("b.jpg"));
  fs_.add_file(photos_.child("Foreign").child("desktop.ini"), "[.ShellClassInfo]\r\n");
  fs_.add_file(full.child("c.jpg"));
  fs_.add_file(stuck.child("desktop.ini"), desktop_ini_content(), platform::kAttrHidden);
  fs_.add_file(config_, photos_.display() + "\n");
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, denied.child(kNewDesktopIniName));
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, full.child(kNewDesktopIniName),
             ErrorKind::Other);
  fs_.refuse(FakeFileSystem::Op::DeleteFile, stuck.child("desktop.ini"));

  Result<ScanStats> stats = scan_fake();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->ini_written, 1u);  // Photos
  EXPECT_EQ(stats->failures.folders, 3u);
  const std::string warning =
      "Could not update desktop.ini in 3 folders; first: " + denied.display() +
      ": Access is denied. (os error 5)";
  EXPECT_EQ(scan_failures_warning(*stats), warning);
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 1 root path(s)"),
                                    info("Scan complete: 5 folders, 1 written, 0 removed, "
                                         "took #.#s"),
                                    warn(warning)));
}

// One warning for each root whose tree goes deeper than the walk, after its walk.
TEST_F(RunScanFakeTest, ARootDeeperThanTheDepthLimitIsWalkedThatDeepWithAWarning) {
  const Path deep = dir_ / "Deep";
  fs_.add_folder_chain(deep, "d", kMaxWalkDepth + 1);
  fs_.add_file(photos_.child("a.jpg"), "jpeg");
  fs_.add_file(config_, deep.display() + "\n" + photos_.display() + "\n");

  Result<ScanStats> stats = scan_fake();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, kMaxWalkDepth + 2);
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 2 root path(s)"),
                                    warn("Root path is deeper than 32768 folders; not walked "
                                         "below that depth: " +
                                         deep.display()),
                                    info("Scan complete: 32770 folders, 1 written, 0 removed, "
                                         "took #.#s")));
}

TEST_F(RunScanTest, WithoutConfigEverythingIsZero) {
  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_EQ(stats->ini_written, 0u);
  EXPECT_EQ(stats->ini_removed, 0u);
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 0 root path(s)"),
                                    info("Scan complete: 0 folders, 0 written, 0 removed, "
                                         "took #.#s")));
}

TEST_F(RunScanTest, UnreadableConfigIsReturnedWithoutLogLines) {
  test_support::write_bytes(config_, "C:\\Data\n\xFF\xFE");

  Result<ScanStats> stats = scan();

  ASSERT_FALSE(stats.ok());
  EXPECT_EQ(stats.error().message(), "Failed to read config.txt");
  EXPECT_THAT(capture_.events(), testing::IsEmpty());
}

TEST_F(RunScanTest, ElapsedTimeIncludesReadingTheConfiguration) {
  write_config({trigger_line_});
  constexpr std::chrono::milliseconds kPause{200};

  Result<ScanStats> stats = scan(while_loading([&] { std::this_thread::sleep_for(kPause); }));

  ASSERT_TRUE(stats.ok());
  EXPECT_GE(stats->elapsed, kPause);
}

}  // namespace
}  // namespace tindral
