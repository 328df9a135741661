#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop_ini.h"
#include "log.h"
#include "platform/file_system.h"
#include "scanner.h"
#include "support/log_capture.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"
#include "text.h"

namespace tindral {
namespace {

using ::testing::ElementsAre;
using testing::LogEvent;

platform::FileSystem& disk() { return platform::real_file_system(); }

LogEvent info(std::string message) {
  return {log::Level::Info, std::string(log::kTargetScanner), std::move(message)};
}

LogEvent warn(std::string message) {
  return {log::Level::Warn, std::string(log::kTargetScanner), std::move(message)};
}

class ScanDriverTest : public ::testing::Test {
 protected:
  void write_config(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    testing::write_bytes(config_, text);
  }

  Result<ScanStats> scan(const InteractiveUserLookup& lookup = no_console_user) {
    return run_scan(disk(), config_, lookup);
  }

  // The captured events with the elapsed time masked.
  std::vector<LogEvent> events() const {
    std::vector<LogEvent> events = capture_.events();
    for (LogEvent& event : events) event.message = testing::mask_elapsed(event.message);
    return events;
  }

  // A lookup that runs while config.txt is being read, on its last line (which names the user),
  // after every earlier root was found: it stands for a change on disk between reading the
  // configuration and walking the roots.
  InteractiveUserLookup while_loading(std::function<void()> change) {
    return [change = std::move(change)]() -> std::optional<InteractiveUser> {
      change();
      return std::nullopt;
    };
  }

  static std::optional<InteractiveUser> no_console_user() { return std::nullopt; }

  testing::TempDir dir_;
  const Path config_ = dir_ / "config.txt";
  const Path photos_ = dir_ / "Photos";
  // A line that names the console user and no existing folder.
  const std::string trigger_line_ = (dir_ / "%USERNAME%-missing").display();
  testing::LogCapture capture_;
};

TEST_F(ScanDriverTest, WalksEachRootAndLogsStartAndSummaryButNotTheDebugLine) {
  testing::make_folder(photos_.child("Trip"));
  testing::write_bytes(photos_.child("Trip").child("beach.jpg"), "jpeg");
  write_config({photos_.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok()) << stats.error().message();
  EXPECT_EQ(stats->folders_scanned, 2u);
  EXPECT_EQ(stats->ini_written, 2u);
  EXPECT_EQ(stats->ini_removed, 0u);
  EXPECT_EQ(testing::read_bytes(photos_.child("Trip").child("desktop.ini")), desktop_ini_content());
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 1 root path(s)"),
                                    info("Scan complete: 2 folders, 2 written, 0 removed, "
                                         "took #.#s")));
  EXPECT_EQ(capture_.messages().back(), "Scan complete: 2 folders, 2 written, 0 removed, took " +
                                            text::format_seconds(stats->elapsed, 1));
}

TEST_F(ScanDriverTest, DuplicateRootIsWalkedTwiceAndTheSecondWalkWritesNothing) {
  testing::make_folder(photos_);
  testing::write_bytes(photos_.child("a.jpg"), "jpeg");
  write_config({photos_.display(), photos_.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 2u);
  EXPECT_EQ(stats->ini_written, 1u);
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 2 root path(s)"),
                                    info("Scan complete: 2 folders, 1 written, 0 removed, "
                                         "took #.#s")));
}

TEST_F(ScanDriverTest, ProtectedRootIsSkippedWithAWarning) {
  const Path tools = (dir_ / "system32").child("Tools");
  testing::make_folder(tools);
  testing::write_bytes(tools.child("tool.exe"), "MZ");
  write_config({tools.display()});

  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_FALSE(testing::path_exists(tools.child("desktop.ini")));
  EXPECT_THAT(
      events(),
      ElementsAre(info("Starting scan of 1 root path(s)"),
                  warn("Root path is a protected system directory, skipping: " + tools.display()),
                  info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

TEST_F(ScanDriverTest, RootsThatVanishAfterLoadingAreReportedAsNotFound) {
  // The missing protected root is reported as missing: existence is tested first.
  const Path gone_protected = (dir_ / "system32").child("Gone");
  testing::make_folder(photos_);
  testing::make_folder(gone_protected);
  testing::write_bytes(photos_.child("a.jpg"), "jpeg");
  write_config({photos_.display(), gone_protected.display(), trigger_line_});

  Result<ScanStats> stats = scan(while_loading([&] {
    testing::remove_tree(photos_);
    testing::remove_tree(gone_protected);
  }));

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_THAT(events(),
              ElementsAre(info("Starting scan of 2 root path(s)"),
                          warn("Root path not found, skipping: " + photos_.display()),
                          warn("Root path not found, skipping: " + gone_protected.display()),
                          info("Scan complete: 0 folders, 0 written, 0 removed, took #.#s")));
}

TEST_F(ScanDriverTest, RootReplacedByAFileIsCountedOnceAndLeftAlone) {
  testing::make_folder(photos_);
  write_config({photos_.display(), trigger_line_});

  Result<ScanStats> stats = scan(while_loading([&] {
    testing::remove_tree(photos_);
    testing::write_bytes(photos_, "now a file");
  }));

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 1u);
  EXPECT_EQ(stats->ini_written, 0u);
  EXPECT_EQ(testing::read_bytes(photos_), "now a file");
}

TEST_F(ScanDriverTest, WithoutConfigEverythingIsZero) {
  Result<ScanStats> stats = scan();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_EQ(stats->ini_written, 0u);
  EXPECT_EQ(stats->ini_removed, 0u);
  EXPECT_THAT(events(), ElementsAre(info("Starting scan of 0 root path(s)"),
                                    info("Scan complete: 0 folders, 0 written, 0 removed, "
                                         "took #.#s")));
}

TEST_F(ScanDriverTest, UnreadableConfigIsReturnedWithoutLogLines) {
  testing::write_bytes(config_, "C:\\Data\n\xFF\xFE");

  Result<ScanStats> stats = scan();

  ASSERT_FALSE(stats.ok());
  EXPECT_EQ(stats.error().message(), "Failed to read config.txt");
  EXPECT_THAT(capture_.events(), ::testing::IsEmpty());
}

TEST_F(ScanDriverTest, ElapsedTimeIncludesReadingTheConfiguration) {
  write_config({trigger_line_});
  constexpr std::chrono::milliseconds kPause{200};

  Result<ScanStats> stats = scan(while_loading([&] { std::this_thread::sleep_for(kPause); }));

  ASSERT_TRUE(stats.ok());
  EXPECT_GE(stats->elapsed, kPause);
}

}  // namespace
}  // namespace tindral
