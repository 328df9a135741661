// The machine's own system folders as roots, however they are reached. /proc stands for all of
// them: were a refusal to fail, the walk would find nothing there it could write.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log.h"
#include "log_targets.h"
#include "platform/file_system.h"
#include "run_scan.h"
#include "support/log_capture.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"

namespace tindral {
namespace {

using test_support::LogEvent;
using testing::ElementsAre;

LogEvent event(log::Level level, std::string message) {
  return {level, std::string(log::kTargetScanner), test_support::mask_elapsed(message)};
}

TEST(SystemFolderRootsTest, ReachedThroughALinkDotDotsOrDoubledSeparatorsTheyAreRefused) {
  test_support::TempDir dir;
  test_support::LogCapture capture;
  const Path link = dir / "fdinfo";
  ASSERT_TRUE(test_support::make_symlink(Path("/proc/self/fdinfo"), link, true));
  std::string climb = dir.path().display();
  for (int i = 0; i < 32; ++i) climb += "/..";
  const Path config = dir / "config.txt";
  test_support::write_bytes(config, link.display() + "\n" + climb + "/proc/self/fdinfo\n" +
                                        "//proc//self//fdinfo//\nproc/self/fdinfo\n");

  Result<ScanStats> stats = run_scan(platform::real_file_system(), config);

  ASSERT_TRUE(stats.ok()) << stats.error().message();
  EXPECT_EQ(stats->folders_scanned, 0u);
  std::vector<LogEvent> events = capture.events();
  for (LogEvent& e : events) e.message = test_support::mask_elapsed(e.message);
  const std::string refused = "Root path is a protected system directory, skipping: ";
  EXPECT_THAT(
      events,
      ElementsAre(
          event(log::Level::Warn, "Root path is not absolute, skipping: proc/self/fdinfo"),
          event(log::Level::Info, "Starting scan of 3 root path(s)"),
          event(log::Level::Warn, refused + link.display()),
          event(log::Level::Warn, refused + "/proc/self/fdinfo"),
          event(log::Level::Warn, refused + "/proc/self/fdinfo"),
          event(log::Level::Info, "Scan complete: 0 folders, 0 written, 0 removed, took 0.0s")));
}

}  // namespace
}  // namespace tindral
