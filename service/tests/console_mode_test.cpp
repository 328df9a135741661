#include "console_mode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>

#include "process_entry.h"
#include "support/fake_file_system.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

struct SummaryCase {
  ScanStats stats;
  std::string expected;
};

TEST(ScanSummaryTest, SixLinesWithPlainCountersAndTwoDecimalSeconds) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const SummaryCase cases[] = {
      {{0, 0, 0, nanoseconds(0)},
       "\nScan complete:\n  Folders scanned: 0\n  Desktop.ini written: 0\n"
       "  Desktop.ini removed: 0\n  Time elapsed: 0.00s\n"},
      {{1234567, 89, 3, milliseconds(2500)},
       "\nScan complete:\n  Folders scanned: 1234567\n  Desktop.ini written: 89\n"
       "  Desktop.ini removed: 3\n  Time elapsed: 2.50s\n"},
      {{kMax, kMax, kMax, seconds(75)},
       "\nScan complete:\n  Folders scanned: 18446744073709551615\n"
       "  Desktop.ini written: 18446744073709551615\n"
       "  Desktop.ini removed: 18446744073709551615\n  Time elapsed: 75.00s\n"},
  };
  for (const SummaryCase& c : cases) {
    EXPECT_EQ(format_scan_summary(c.stats), c.expected);
  }
}

TEST(ScanSummaryTest, FailuresAddASeventhLine) {
  ScanStats stats{3, 1, 0, milliseconds(1500)};
  stats.failures.folders = 12;
  stats.failures.first = FolderFailure{"D:\\Archive", "Access is denied. (os error 5)"};
  EXPECT_EQ(format_scan_summary(stats),
            "\nScan complete:\n  Folders scanned: 3\n  Desktop.ini written: 1\n"
            "  Desktop.ini removed: 0\n  Time elapsed: 1.50s\n"
            "  Could not update desktop.ini in 12 folders; first: D:\\Archive: Access is denied. "
            "(os error 5)\n");
}

TEST(ScanSummaryTest, ElapsedTimeRoundsToNearestHundredthWithoutSplittingMinutes) {
  const std::pair<nanoseconds, std::string> cases[] = {
      {milliseconds(59999), "60.00s"},
      {milliseconds(4), "0.00s"},
      {milliseconds(6), "0.01s"},
      {seconds(3725), "3725.00s"},
  };
  for (const auto& [elapsed, expected] : cases) {
    const std::string summary = format_scan_summary({0, 0, 0, elapsed});
    EXPECT_EQ(summary.substr(summary.rfind("  Time elapsed: ")),
              "  Time elapsed: " + expected + "\n");
  }
}

TEST(ConsoleOptionTest, OnlyTheExactOptionAsFirstRealArgumentSelectsConsoleMode) {
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"tindral.exe", "--console"}, true},
      {{"tindral.exe", "--console", "ignored", "--more"}, true},
      {{}, false},
      {{"tindral.exe"}, false},
      {{"tindral.exe", "--Console"}, false},
      {{"tindral.exe", "--CONSOLE"}, false},
      {{"tindral.exe", "-console"}, false},
      {{"tindral.exe", "/console"}, false},
      {{"tindral.exe", "--console=1"}, false},
      {{"tindral.exe", "--console "}, false},
      {{"tindral.exe", ""}, false},
      {{"tindral.exe", "other", "--console"}, false},
      {{"--console"}, false},
  };
  for (const auto& [arguments, console] : cases) {
    EXPECT_EQ(is_console_mode(arguments), console) << testing::PrintToString(arguments);
  }
}

// Whatever a scan throws (an allocation that fails deep down a huge tree) ends console mode
// with the error report and exit code 1, never with an abort.
TEST(ConsoleModeTest, AnExceptionInsideTheScanBecomesTheErrorReport) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { throw std::bad_alloc(); }, "Error: Out of memory\n"},
      {[] { throw std::runtime_error("the disk caught fire"); }, "Error: the disk caught fire\n"},
      {[] { throw 42; }, "Error: Unexpected failure\n"},
  };
  for (const auto& [raise, report] : cases) {
    test_support::FakeFileSystem fs;
    const test_support::TempDir dir;
    const Path config = dir / "config.txt";
    const Path photos = dir / "Photos";
    fs.add_file(photos.child("photo.jpg"));
    fs.add_file(config, photos.display() + "\n");
    fs.before(test_support::FakeFileSystem::Op::OpenListing, photos, raise);

    const Result<void> outcome = run_console_mode(fs, config, dir / "folder.ico");

    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(render_error_report(outcome.error()), report);
    EXPECT_FALSE(fs.contains(photos.child("desktop.ini")));
  }
}

}  // namespace
}  // namespace tindral
