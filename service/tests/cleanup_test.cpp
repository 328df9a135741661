#include "run_cleanup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop_ini.h"
#include "log.h"
#include "log_targets.h"
#include "platform/file_system.h"
#include "support/desktop_ini_at.h"
#include "support/fake_file_system.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"

namespace tindral {
namespace {

using platform::kAttrReadonly;
using test_support::FakeFileSystem;
using test_support::LogEvent;
using testing::ElementsAre;

constexpr std::string_view kForeignIni =
    "[.ShellClassInfo]\r\nIconResource=C:\\Windows\\system32\\imageres.dll,-3\r\n";

platform::FileSystem& disk() { return platform::real_file_system(); }

// The service's own desktop.ini, written as a scan writes it: hidden and system, the folder
// read-only.
void give_service_ini(const Path& folder) {
  test_support::make_folder(folder);
  Result<bool> written = test_support::ensure_desktop_ini_at(disk(), folder);
  ASSERT_TRUE(written.ok() && *written) << folder.display();
}

LogEvent summary(std::string counts) {
  return {log::Level::Info, std::string(log::kTargetScanner),
          "Cleanup complete: " + counts + ", took #.#s"};
}

class CleanupTest : public testing::Test {
 protected:
  void write_config(const std::vector<Path>& roots) {
    std::string text;
    for (const Path& root : roots) text += root.display() + "\r\n";
    test_support::write_bytes(config_, text);
  }

  Result<CleanupStats> cleanup() { return run_cleanup(disk(), config_); }

  // The captured events with the elapsed time masked.
  std::vector<LogEvent> events() const {
    std::vector<LogEvent> events = capture_.events();
    for (LogEvent& event : events) event.message = test_support::mask_elapsed(event.message);
    return events;
  }

  // A tree with the service's files (one in an empty folder, one below a folder whose name the
  // scan treats as protected) and a foreign one.
  void build_mixed_tree() {
    test_support::make_folder(root_);
    test_support::write_bytes(root_.child("notes.txt"), "content");
    give_service_ini(root_);
    test_support::make_folder(photos_);
    test_support::write_bytes(photos_.child("a.jpg"), "jpeg");
    give_service_ini(photos_);
    test_support::make_folder(music_);
    test_support::write_bytes(music_.child("desktop.ini"), kForeignIni);
    test_support::make_folder(empty_);
    test_support::write_bytes(empty_.child("desktop.ini"), desktop_ini_content());
    give_service_ini(system_x_);
  }

  test_support::TempDir dir_;
  const Path config_ = dir_ / "config.txt";
  const Path root_ = dir_ / "root";
  const Path photos_ = root_.child("Photos");
  const Path music_ = root_.child("Music");
  const Path empty_ = root_.child("Empty");
  const Path system_x_ = root_.child("system32").child("x");
  test_support::LogCapture capture_;
};

TEST_F(CleanupTest, RemovesMarkedFilesOnlyAndLogsTheSummary) {
  build_mixed_tree();
  const std::uint32_t music_attributes = *disk().get_attributes(music_);
  write_config({root_});

  Result<CleanupStats> stats = cleanup();

  ASSERT_TRUE(stats.ok()) << stats.error().message();
  EXPECT_EQ(stats->folders_visited, 6u);  // root, Photos, Music, Empty, system32, x
  EXPECT_EQ(stats->ini_removed, 4u);
  for (const Path& folder : {root_, photos_, empty_, system_x_}) {
    EXPECT_FALSE(test_support::path_exists(folder.child("desktop.ini"))) << folder.display();
    EXPECT_EQ(*disk().get_attributes(folder) & kAttrReadonly, 0u) << folder.display();
  }
  EXPECT_EQ(test_support::read_bytes(music_.child("desktop.ini")), kForeignIni);
  EXPECT_EQ(*disk().get_attributes(music_), music_attributes);
  EXPECT_TRUE(test_support::path_exists(photos_.child("a.jpg")));
  EXPECT_THAT(events(), ElementsAre(summary("6 folders visited, 4 desktop.ini removed")));
}

TEST_F(CleanupTest, SecondRunVisitsTheSameFoldersAndRemovesNothing) {
  build_mixed_tree();
  write_config({root_});
  ASSERT_TRUE(cleanup().ok());
  Result<CleanupStats> again = cleanup();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->folders_visited, 6u);
  EXPECT_EQ(again->ini_removed, 0u);
  EXPECT_THAT(events(), ElementsAre(summary("6 folders visited, 4 desktop.ini removed"),
                                    summary("6 folders visited, 0 desktop.ini removed")));
}

TEST_F(CleanupTest, MissingAndProtectedRootsAreSkippedSilently) {
  const Path protected_root = (dir_ / "system32").child("Tools");
  give_service_ini(protected_root);
  give_service_ini(root_);
  std::vector<Path> roots = {dir_ / "gone", protected_root, root_, root_};
  // A link into the protected folder leads there; Wine's CreateSymbolicLinkW creates nothing.
  const Path link = dir_ / "Pictures";
  if (!test_support::running_under_wine() &&
      test_support::make_symlink(protected_root, link, true)) {
    roots.push_back(link);
  }
  write_config(roots);

  Result<CleanupStats> stats = cleanup();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_visited, 1u);  // the real root once, its second line passed over
  EXPECT_EQ(stats->ini_removed, 1u);
  EXPECT_TRUE(test_support::path_exists(protected_root.child("desktop.ini")));
  EXPECT_THAT(events(), ElementsAre(summary("1 folders visited, 1 desktop.ini removed")));
}

TEST_F(CleanupTest, WithoutConfigNothingIsVisitedButTheSummaryIsLogged) {
  Result<CleanupStats> stats = cleanup();
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_visited, 0u);
  EXPECT_EQ(stats->ini_removed, 0u);
  EXPECT_THAT(events(), ElementsAre(summary("0 folders visited, 0 desktop.ini removed")));
}

TEST_F(CleanupTest, UnreadableConfigIsAnErrorWithoutSummary) {
  test_support::make_folder(config_);
  Result<CleanupStats> stats = cleanup();
  ASSERT_FALSE(stats.ok());
  EXPECT_EQ(stats.error().message(), "Failed to read config.txt");
  EXPECT_TRUE(capture_.events().empty());
}

TEST_F(CleanupTest, LinksAreNotFollowed) {
  const Path outside = dir_ / "outside";
  give_service_ini(outside);
  give_service_ini(root_);
  if (!test_support::make_symlink(outside, root_.child("link"), true)) {
    GTEST_SKIP() << "no symbolic links here: Wine's CreateSymbolicLinkW creates nothing, and "
                    "Windows needs the privilege or developer mode";
  }
  write_config({root_});

  Result<CleanupStats> stats = cleanup();

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->folders_visited, 1u);
  EXPECT_EQ(stats->ini_removed, 1u);
  EXPECT_TRUE(test_support::path_exists(outside.child("desktop.ini")));
}

// A foreign desktop.ini left alone is no failure; a refused removal is, and the first one is
// named after the summary.
TEST_F(CleanupTest, FailedRemovalsAreCountedAndTheFirstIsNamedAfterTheSummary) {
  FakeFileSystem fs;
  for (const char* name : {"A", "B", "C"}) {
    fs.add_file(root_.child(name).child("desktop.ini"), desktop_ini_content(),
                platform::kAttrHidden | platform::kAttrSystem);
  }
  fs.add_file(root_.child("D").child("desktop.ini"), std::string(kForeignIni));
  fs.add_file(config_, root_.display() + "\n");
  fs.refuse(FakeFileSystem::Op::DeleteFile, root_.child("B").child("desktop.ini"));
  fs.refuse(FakeFileSystem::Op::DeleteFile, root_.child("C").child("desktop.ini"));

  Result<CleanupStats> stats = run_cleanup(fs, config_);

  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->ini_removed, 1u);
  EXPECT_EQ(stats->failures.folders, 2u);
  const std::string warning =
      "Could not remove desktop.ini in 2 folders; first: " + root_.child("B").display() +
      ": Access is denied. (os error 5)";
  EXPECT_EQ(cleanup_failures_warning(*stats), warning);
  EXPECT_THAT(events(),
              ElementsAre(summary("5 folders visited, 1 desktop.ini removed"),
                          LogEvent{log::Level::Warn, std::string(log::kTargetScanner), warning}));
}

// ---- the walk on trees and failures a real disk does not give on demand ----------------------

class CleanupFolderTest : public testing::Test {
 protected:
  void add_service_ini(const Path& folder) {
    fs_.add_file(folder.child("desktop.ini"), desktop_ini_content(),
                 platform::kAttrHidden | platform::kAttrSystem);
  }

  std::vector<std::string> deletions() const {
    std::vector<std::string> deletions;
    for (const std::string& operation : fs_.operations()) {
      if (operation.starts_with("delete ")) deletions.push_back(operation);
    }
    return deletions;
  }

  static std::string deleted(const Path& folder) {
    return "delete " + folder.child("desktop.ini").display();
  }

  FakeFileSystem fs_;
  const Path root_ = Path::from_text("Root");
};

TEST_F(CleanupFolderTest, HandlesEachFolderBeforeItsSubfoldersInListingOrder) {
  const Path a = root_.child("A");
  const Path a1 = a.child("A1");
  const Path b = root_.child("B");
  for (const Path& folder : {root_, a, a1, b}) {
    fs_.add_folder(folder);
    add_service_ini(folder);
  }
  const CleanupStats stats = cleanup_folder(fs_, root_);
  EXPECT_EQ(stats.folders_visited, 4u);
  EXPECT_EQ(stats.ini_removed, 4u);
  EXPECT_THAT(deletions(), ElementsAre(deleted(root_), deleted(a), deleted(a1), deleted(b)));
}

TEST_F(CleanupFolderTest, DeepChainNeedsOneOpenListingAtATime) {
  constexpr int kDepth = 5000;
  std::string deepest = root_.bytes();
  for (int i = 0; i < kDepth; ++i) {
    deepest += platform::kSeparator;
    deepest += 'd';
  }
  fs_.add_folder(Path(deepest));
  add_service_ini(Path(deepest));

  const CleanupStats stats = cleanup_folder(fs_, root_);

  EXPECT_EQ(stats.folders_visited, static_cast<std::uint64_t>(kDepth) + 1);
  EXPECT_EQ(stats.ini_removed, 1u);
  EXPECT_FALSE(fs_.contains(Path(deepest).child("desktop.ini")));
  EXPECT_EQ(fs_.max_open_listings(), 1);
  EXPECT_EQ(fs_.open_listings(), 0);
}

TEST_F(CleanupFolderTest, FolderWhoseListingIsDeniedStillLosesItsFile) {
  fs_.add_folder(root_.child("Sub"));
  add_service_ini(root_);
  fs_.refuse(FakeFileSystem::Op::OpenListing, root_);
  const CleanupStats stats = cleanup_folder(fs_, root_);
  EXPECT_EQ(stats.folders_visited, 1u);
  EXPECT_EQ(stats.ini_removed, 1u);
}

TEST_F(CleanupFolderTest, BrokenListingKeepsTheEntriesReadBeforeIt) {
  for (const char* name : {"A", "B", "C"}) add_service_ini(root_.child(name));
  fs_.break_listing_after(root_, 2);
  const CleanupStats stats = cleanup_folder(fs_, root_);
  EXPECT_EQ(stats.folders_visited, 3u);  // Root, A and B
  EXPECT_EQ(stats.ini_removed, 2u);
  EXPECT_TRUE(fs_.contains(root_.child("C").child("desktop.ini")));
}

TEST_F(CleanupFolderTest, FailedRemovalIsNotCountedAndTheWalkGoesOn) {
  add_service_ini(root_.child("A"));
  add_service_ini(root_.child("B"));
  fs_.refuse(FakeFileSystem::Op::DeleteFile, root_.child("A").child("desktop.ini"));
  const CleanupStats stats = cleanup_folder(fs_, root_);
  EXPECT_EQ(stats.folders_visited, 3u);
  EXPECT_EQ(stats.ini_removed, 1u);
  EXPECT_TRUE(fs_.contains(root_.child("A").child("desktop.ini")));
  EXPECT_FALSE(fs_.contains(root_.child("B").child("desktop.ini")));
}

TEST_F(CleanupFolderTest, LinkEntriesAreSkippedOtherReparsePointsWalked) {
  constexpr std::uint32_t kDedupTag = 0x80000013;  // no name-surrogate bit: not a link
  fs_.add_link(root_.child("Junction"), 0xA0000003);
  fs_.add_folder(root_.child("Deduplicated"),
                 platform::kAttrDirectory | platform::kAttrReparsePoint, kDedupTag);
  add_service_ini(root_.child("Deduplicated"));
  fs_.add_file(root_.child("desktop.ini.txt"), "x");
  const CleanupStats stats = cleanup_folder(fs_, root_);
  EXPECT_EQ(stats.folders_visited, 2u);
  EXPECT_EQ(stats.ini_removed, 1u);
}

}  // namespace
}  // namespace tindral
