// Roots reached through links and other accounts' folders, on a tree whose owners the fake file
// system sets as no test account could on a real disk (and as Wine cannot show at all).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop_ini.h"
#include "log.h"
#include "log_targets.h"
#include "platform/file_system.h"
#include "root_folder.h"
#include "run_cleanup.h"
#include "run_scan.h"
#include "support/fake_file_system.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"

namespace tindral {
namespace {

using platform::kAttrHidden;
using platform::kAttrSystem;
using test_support::FakeFileSystem;
using test_support::LogEvent;
using testing::ElementsAreArray;

LogEvent event(log::Level level, std::string message) {
  return {level, std::string(log::kTargetScanner), std::move(message)};
}

// An absolute path from names, spelled as the platform spells one.
Path absolute(std::initializer_list<std::string_view> names) {
  Path path(platform::kSeparator == '\\' ? "C:\\" : "/");
  for (std::string_view name : names) path = path.child(name);
  return path;
}

platform::Owner account(std::string name) { return {false, std::move(name)}; }

class RootLinksTest : public testing::Test {
 protected:
  RootLinksTest() {
    fs_.add_file(bob_private_.child("diary.txt"), "dear diary");
    fs_.add_file(bob_private_.child("desktop.ini"), desktop_ini_content(),
                 kAttrHidden | kAttrSystem);
    fs_.set_owner(bob_, account("bob"));
    fs_.set_owner(bob_private_, account("bob"));
    fs_.add_file(alice_.child("Pictures").child("cat.jpg"), "jpeg");
    fs_.set_owner(alice_, account("alice"));
    fs_.set_owner(alice_.child("Pictures"), account("alice"));
    fs_.add_file(disk_photos_.child("sea.jpg"), "jpeg");
  }

  // A link to `target`, owned by `owner`.
  void link(const Path& path, const Path& target, platform::Owner owner) {
    fs_.add_symlink(path, target, true);
    fs_.set_owner(path, std::move(owner));
  }

  // A folder owned by `owner` at `path`.
  void folder(const Path& path, platform::Owner owner) {
    fs_.add_folder(path);
    fs_.set_owner(path, std::move(owner));
  }

  std::vector<LogEvent> events() const {
    std::vector<LogEvent> events = capture_.events();
    for (LogEvent& e : events) e.message = test_support::mask_elapsed(e.message);
    return events;
  }

  FakeFileSystem fs_;
  const Path config_ = absolute({"Data", "config.txt"});
  const Path alice_ = absolute({"Users", "alice"});
  const Path bob_ = absolute({"Users", "bob"});
  const Path bob_private_ = bob_.child("Private");
  const Path disk_photos_ = absolute({"mnt", "disk1", "photos"});
  const platform::Owner administrators_ = {true, "Administrators"};
  test_support::LogCapture capture_;
};

TEST_F(RootLinksTest, OnlyLinksAdministratorsControlLeadARootElsewhere) {
  struct Root {
    Path path;
    std::string warning;  ///< empty: walked
  };
  const std::string link_refused =
      "Root path passes through a link that another account controls, skipping: ";
  const std::string folder_refused =
      "Root path passes into a folder that another account owns, skipping: ";
  link(alice_.child("Photos"), bob_private_, account("alice"));
  link(alice_.child("Bob"), bob_, account("alice"));
  link(alice_.child("Planted"), bob_private_, administrators_);
  folder(alice_.child("Shared"), account("bob"));
  folder(alice_.child("Box").child("Bobs"), account("bob"));
  link(absolute({"srv", "photos"}), disk_photos_, administrators_);
  link(absolute({"srv", "relative"}),
       Path(std::string("..") + platform::kSeparator + "mnt" + platform::kSeparator + "disk1" +
            platform::kSeparator + "photos"),
       administrators_);
  const std::vector<Root> roots = {
      {alice_.child("Pictures"), ""},
      {alice_.child("Photos"), link_refused},
      {alice_.child("Bob").child("Private"), link_refused},
      {alice_.child("Planted"), link_refused},
      {alice_.child("Shared"), folder_refused},
      {alice_.child("Box").child("Bobs"), folder_refused},
      {absolute({"srv", "photos"}), ""},
      {absolute({"srv", "relative"}), ""},
  };
  std::string config;
  std::vector<LogEvent> expected{event(
      log::Level::Info, "Starting scan of " + std::to_string(roots.size()) + " root path(s)")};
  for (const Root& root : roots) {
    config += root.path.display() + "\n";
    if (!root.warning.empty()) {
      expected.push_back(event(log::Level::Warn, root.warning + root.path.display()));
    }
  }
  expected.push_back(
      event(log::Level::Info, "Scan complete: 3 folders, 2 written, 0 removed, took #.#s"));
  expected.push_back(event(
      log::Level::Info, "Cleanup complete: 3 folders visited, 2 desktop.ini removed, took #.#s"));
  fs_.add_file(config_, config);

  Result<ScanStats> scanned = run_scan(fs_, config_, [] { return std::nullopt; });
  Result<CleanupStats> cleaned = run_cleanup(fs_, config_, [] { return std::nullopt; });

  ASSERT_TRUE(scanned.ok() && cleaned.ok());
  EXPECT_THAT(events(), ElementsAreArray(expected));
  EXPECT_EQ(fs_.content(bob_private_.child("desktop.ini")), desktop_ini_content());
  EXPECT_FALSE(fs_.contains(alice_.child("Box").child("Bobs").child("desktop.ini")));
  for (const std::string& operation : fs_.operations()) {
    EXPECT_THAT(operation, testing::Not(testing::HasSubstr(bob_.display()))) << operation;
  }
}

TEST_F(RootLinksTest, LinksInACircleEndAsAMissingRoot) {
  const Path loop = absolute({"srv", "loop"});
  link(loop, absolute({"srv", "around"}), administrators_);
  link(absolute({"srv", "around"}), loop, administrators_);

  EXPECT_EQ(open_root(fs_, loop).refusal, RootRefusal::NotFound);
}

// Any user may make a junction (natively a symbolic link) in a folder she may write, and give
// it the name of a root.
TEST(RootLinksOnDiskTest, ALinkAnotherAccountOwnsIsNotFollowed) {
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: mklink /j and CreateSymbolicLinkW report success and create nothing, "
                    "and every program runs as an elevated administrator, so a junction that a "
                    "non-administrator made cannot be built; RootLinksTest covers the rule "
                    "through the fake file system";
  }
  test_support::TempDir dir;
  test_support::LogCapture capture;
  const Path victim = dir / "victim";
  const Path root = dir / "Pictures";
  test_support::make_folder(victim);
  test_support::write_bytes(victim.child("diary.txt"), "dear diary");
  ASSERT_TRUE(test_support::make_symlink(victim, root, true));
  if (!test_support::give_to_another_account(root)) {
    GTEST_SKIP() << "giving a link to another account needs root (natively) or the restore "
                    "privilege (Windows)";
  }
  test_support::write_bytes(dir / "config.txt", root.display() + "\n");

  Result<ScanStats> stats =
      run_scan(platform::real_file_system(), dir / "config.txt", [] { return std::nullopt; });

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_scanned, 0u);
  EXPECT_FALSE(test_support::path_exists(victim.child("desktop.ini")));
  EXPECT_EQ(
      capture.messages().at(1),
      "Root path passes through a link that another account controls, skipping: " + root.display());
}

}  // namespace
}  // namespace tindral
