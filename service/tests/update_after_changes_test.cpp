#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "changed_folders.h"
#include "desktop_ini.h"
#include "platform/change_watch.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/fake_file_system.h"
#include "support/file_system_under_test.h"
#include "support/machine.h"
#include "update_after_changes.h"

namespace tindral {
namespace {

using platform::Change;
using platform::ChangeKind;
using Names = std::vector<std::string>;

// ---- merging changes ----------------------------------------------------------------------------

std::vector<Names> names_of(const std::vector<FolderToLookAt>& folders) {
  std::vector<Names> names;
  for (const FolderToLookAt& folder : folders) names.push_back(folder.names);
  return names;
}

TEST(ChangedFoldersTest, MergesPerFolderDropsWhatAWalkCoversAndGivesTheDeepestFirst) {
  ChangedFolders changed;
  changed.add({0, ChangeKind::Appeared, {"A", "x.jpg"}});
  changed.add({0, ChangeKind::Appeared, {"A", "x.jpg"}});
  changed.add({0, ChangeKind::Disappeared, {"A", "B", "C", "old.jpg"}});
  changed.add({0, ChangeKind::Listing, {"D"}});
  // Below a folder that appeared, before and after it: its walk sees these.
  changed.add({0, ChangeKind::Listing, {"Late", "Sub"}});
  changed.add({0, ChangeKind::Appeared, {"Late"}});
  changed.add({0, ChangeKind::Appeared, {"New"}});
  changed.add({0, ChangeKind::Appeared, {"New", "Sub", "p.jpg"}});
  changed.add({0, ChangeKind::Listing, {"New"}});
  // The service's own write of a desktop.ini.
  changed.add({0, ChangeKind::Appeared, {"Q", std::string(kNewDesktopIniName)}});
  changed.add({0, ChangeKind::Appeared, {"Q", "desktop.ini"}});
  changed.add({0, ChangeKind::Disappeared, {"Q", std::string(kNewDesktopIniName)}});
  changed.add({2, ChangeKind::Rescan, {}});
  changed.add({2, ChangeKind::Listing, {"Z"}});

  EXPECT_EQ(changed.roots(), (std::vector<std::size_t>{0, 2}));
  EXPECT_FALSE(changed.rescan_wanted(0));
  EXPECT_TRUE(changed.rescan_wanted(2));
  EXPECT_THAT(changed.folders(2), testing::IsEmpty());
  const std::vector<FolderToLookAt> folders = changed.folders(0);
  EXPECT_THAT(names_of(folders),
              testing::ElementsAre(Names{"A", "B", "C"}, Names{"A"}, Names{"D"}, Names{}));
  EXPECT_TRUE(folders[0].list_again);
  EXPECT_THAT(folders[1].appeared, testing::ElementsAre("x.jpg"));
  EXPECT_FALSE(folders[1].list_again);
  EXPECT_THAT(folders[3].appeared, testing::ElementsAre("Late", "New"));

  changed.clear();
  EXPECT_TRUE(changed.empty());
}

// Appended rather than numbered(i), which mingw-w64's GCC 12 warns about wrongly.
std::string numbered(std::size_t i) {
  std::string name = "F";
  name += std::to_string(i);
  return name;
}

TEST(ChangedFoldersTest, PastEitherBoundOrWithTheRootItselfGoneTheRootIsWalkedWhole) {
  struct Case {
    const char* label;
    std::function<void(ChangedFolders&)> add;
  };
  const Case cases[] = {
      {"folders",
       [](ChangedFolders& changed) {
         for (std::size_t i = 0; i <= kMaxChangedFolders; ++i) {
           changed.add({1, ChangeKind::Listing, {numbered(i)}});
         }
       }},
      {"appeared names",
       [](ChangedFolders& changed) {
         for (std::size_t i = 0; i <= kMaxAppearedNames; ++i) {
           changed.add({1, ChangeKind::Appeared, {numbered(i % 7), std::to_string(i)}});
         }
       }},
      {"the root disappeared",
       [](ChangedFolders& changed) {
         changed.add({1, ChangeKind::Disappeared, {}});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ChangedFolders changed;
    changed.add({1, ChangeKind::Listing, {"Before"}});
    c.add(changed);
    changed.add({1, ChangeKind::Listing, {"After"}});
    EXPECT_TRUE(changed.rescan_wanted(1));
    EXPECT_THAT(changed.folders(1), testing::IsEmpty());
  }
  ChangedFolders just_below;
  for (std::size_t i = 0; i < kMaxChangedFolders; ++i) {
    just_below.add({1, ChangeKind::Listing, {numbered(i)}});
  }
  EXPECT_FALSE(just_below.rescan_wanted(1));
  EXPECT_EQ(just_below.folders(1).size(), kMaxChangedFolders);
}

TEST(ChangesSummaryTest, NamesTheCountersInTheLogsWords) {
  ChangeUpdateStats stats;
  stats.folders_looked_at = 14;
  stats.ini_written = 3;
  stats.ini_removed = 1;
  EXPECT_EQ(changes_summary(stats),
            "Updated after changes: 14 folders looked at, 3 written, 1 removed");
}

// ---- looking at changes, on the real disk and on the fake ---------------------------------------

class UpdateAfterChangesTest : public testing::TestWithParam<test_support::FileSystemKind> {
 protected:
  void SetUp() override {
    under_test_ = GetParam().make();
    root_ = under_test_->folder().child("Root");
    ASSERT_TRUE(fs().create_folders(root_).ok());
  }

  platform::FileSystem& fs() { return under_test_->fs(); }

  Path at(const Names& names) const {
    Path path = root_;
    for (const std::string& name : names) path = path.child(name);
    return path;
  }

  void file(const Names& names, std::string_view bytes = "jpeg") {
    ASSERT_TRUE(fs().create_folders(at(Names(names.begin(), names.end() - 1))).ok());
    file_at(at(names), bytes);
  }

  void file_at(const Path& path, std::string_view bytes) {
    auto written = fs().create_or_truncate(path);
    ASSERT_TRUE(written.ok());
    ASSERT_TRUE((*written)->write_all(bytes).ok());
  }

  void folder(const Names& names) { ASSERT_TRUE(fs().create_folders(at(names)).ok()); }

  bool has_icon(const Names& names) {
    const Path ini = at(names).child("desktop.ini");
    return under_test_->stored(ini) && under_test_->stored_content(ini) == desktop_ini_content();
  }

  ChangeUpdateStats update(const std::vector<Change>& changes,
                           const platform::StopSignal* stop = nullptr) {
    ChangedFolders changed;
    for (const Change& change : changes) changed.add(change);
    auto root = fs().open_folder(root_);
    EXPECT_TRUE(root.ok());
    const FolderEnteredHook hook = [&](const Names& names, platform::Folder&) {
      entered_.push_back(names);
    };
    return update_after_changes(**root, root_, changed.folders(0), stop, &hook);
  }

  std::unique_ptr<test_support::FileSystemUnderTest> under_test_;
  Path root_;
  std::vector<Names> entered_;
};

void expect_counts(const ChangeUpdateStats& stats, std::uint64_t looked_at, std::uint64_t written,
                   std::uint64_t removed) {
  EXPECT_EQ(stats.folders_looked_at, looked_at);
  EXPECT_EQ(stats.ini_written, written);
  EXPECT_EQ(stats.ini_removed, removed);
  EXPECT_EQ(stats.failures.folders, 0u);
  EXPECT_FALSE(stats.cut_short);
}

// Root/Mid carries the icon; Root has lost its own (a user deleted it), which shows where the
// way up stops.
TEST_P(UpdateAfterChangesTest, ANewChainGetsTheIconUpToTheFirstFolderThatHadIt) {
  file({"Mid", "a.jpg"});
  folder({"Mid", "Empty"});
  scan_folder(fs(), root_);
  ASSERT_TRUE(fs().delete_file(root_.child("desktop.ini")).ok());
  ASSERT_FALSE(has_icon({"Mid", "Empty"}));
  file({"Mid", "Empty", "New", "Deeper", "photo.jpg"});

  // As a watcher reports it: the new folder, then what appeared below it.
  expect_counts(update({{0, ChangeKind::Appeared, {"Mid", "Empty", "New"}},
                        {0, ChangeKind::Appeared, {"Mid", "Empty", "New", "Deeper"}},
                        {0, ChangeKind::Appeared, {"Mid", "Empty", "New", "Deeper", "photo.jpg"}}}),
                2, 3, 0);

  for (const Names& names : {Names{"Mid", "Empty", "New", "Deeper"}, Names{"Mid", "Empty", "New"},
                             Names{"Mid", "Empty"}, Names{"Mid"}}) {
    EXPECT_TRUE(has_icon(names)) << testing::PrintToString(names);
  }
  EXPECT_FALSE(under_test_->stored(root_.child("desktop.ini")));
  EXPECT_THAT(entered_, testing::ElementsAre(Names{"Mid", "Empty", "New"},
                                             Names{"Mid", "Empty", "New", "Deeper"}));
}

TEST_P(UpdateAfterChangesTest, AFileInAFolderThatExistedListsItAndGivesTheIconUpward) {
  file({"keep.txt"});
  folder({"A", "B"});
  scan_folder(fs(), root_);
  file({"A", "B", "photo.jpg"});

  expect_counts(update({{0, ChangeKind::Appeared, {"A", "B", "photo.jpg"}}}), 1, 2, 0);
  EXPECT_TRUE(has_icon({"A", "B"}));
  EXPECT_TRUE(has_icon({"A"}));
  EXPECT_THAT(entered_, testing::ElementsAre(Names{"A", "B"}));

  // The folder carries the icon now: another file needs nothing.
  file({"A", "B", "second.jpg"});
  expect_counts(update({{0, ChangeKind::Appeared, {"A", "B", "second.jpg"}}}), 0, 0, 0);
}

TEST_P(UpdateAfterChangesTest, TheLastFileGoneTakesTheIconUpToAFolderWithOtherContent) {
  file({"A", "B", "x.jpg"});
  file({"A", "C", "D", "y.jpg"});
  file({"A", "C", "E", "z.jpg"});
  scan_folder(fs(), root_);

  ASSERT_TRUE(fs().delete_file(at({"A", "C", "D", "y.jpg"})).ok());
  expect_counts(update({{0, ChangeKind::Disappeared, {"A", "C", "D", "y.jpg"}}}), 2, 0, 1);
  EXPECT_FALSE(has_icon({"A", "C", "D"}));
  EXPECT_TRUE(has_icon({"A", "C"})) << "E still holds content";

  // D and E gone: C holds nothing, A still has B.
  ASSERT_TRUE(fs().delete_file(at({"A", "C", "E", "z.jpg"})).ok());
  // D, which carries no icon now, is walked again to learn it holds nothing.
  expect_counts(update({{0, ChangeKind::Disappeared, {"A", "C", "E", "z.jpg"}}}), 4, 0, 2);
  EXPECT_FALSE(has_icon({"A", "C", "E"}));
  EXPECT_FALSE(has_icon({"A", "C"}));
  EXPECT_TRUE(has_icon({"A"}));
  EXPECT_TRUE(has_icon({}));

  // The last file of the root's tree.
  ASSERT_TRUE(fs().delete_file(at({"A", "B", "x.jpg"})).ok());
  expect_counts(update({{0, ChangeKind::Disappeared, {"A", "B", "x.jpg"}}}), 6, 0, 3);
  for (const Names& names : {Names{"A", "B"}, Names{"A"}, Names{}}) {
    EXPECT_FALSE(under_test_->stored(at(names).child("desktop.ini")))
        << testing::PrintToString(names);
  }
}

// A folder moved in with a photo in one subfolder and a stale service file in another.
TEST_P(UpdateAfterChangesTest, AFolderThatAppearedIsWalkedWhole) {
  file({"keep.txt"});
  scan_folder(fs(), root_);
  file({"Trip", "Day1", "p.jpg"});
  file({"Trip", "Day2", "desktop.ini"}, desktop_ini_content());

  expect_counts(update({{0, ChangeKind::Appeared, {"Trip"}}}), 3, 2, 1);
  EXPECT_TRUE(has_icon({"Trip", "Day1"}));
  EXPECT_TRUE(has_icon({"Trip"}));
  EXPECT_FALSE(under_test_->stored(at({"Trip", "Day2", "desktop.ini"})));
}

// The change names A/Gone, renamed to A/Here meanwhile: A, the deepest folder the names reach,
// is listed and finds Here by itself.
TEST_P(UpdateAfterChangesTest, AStaleNameListsTheDeepestFolderItReaches) {
  folder({"A"});
  file({"A", "Here", "f.jpg"});

  expect_counts(update({{0, ChangeKind::Appeared, {"A", "Gone", "f.jpg"}}}), 2, 3, 0);
  for (const Names& names : {Names{"A", "Here"}, Names{"A"}, Names{}}) {
    EXPECT_TRUE(has_icon(names)) << testing::PrintToString(names);
  }
}

// Each place holds a photo in a folder the scan never walks; the change names it.
TEST_P(UpdateAfterChangesTest, AChangeWhereTheScanNeverGoesDoesNothingThere) {
  struct Place {
    const char* label;
    Names photo;
    /// Builds what makes the place one the scan never walks; false where the platform cannot.
    std::function<bool()> make;
    bool photo_below_root = true;
  };
  const Path outside = under_test_->folder().child("Outside");
  const Place places[] = {
      {"below .git", {"repo", ".git", "refs", "main"}, [] { return true; }},
      {"below a protected place", {"Win", "system32", "drivers", "x.sys"}, [] { return true; }},
      {"in a bare repository",
       {"srv.git", "refs", "heads", "main"},
       [&] {
         file({"srv.git", "HEAD"}, "ref: refs/heads/main\n");
         folder({"srv.git", "objects"});
         return true;
       }},
      {"in a hidden system folder",
       {"Sys", "log.txt"},
       [&] {
         folder({"Sys"});
         return fs()
             .set_attributes(at({"Sys"}), platform::kAttrDirectory | platform::kAttrHidden |
                                              platform::kAttrSystem)
             .ok();
       }},
      {"below a link",
       {"Link", "In", "x.jpg"},
       [&] {
         // Wine 8 lists a Unix symlink to a folder with reparse tag 0.
         if (under_test_->on_real_disk() && test_support::running_under_wine()) return false;
         EXPECT_TRUE(fs().create_folders(outside.child("In")).ok());
         file_at(outside.child("In").child("x.jpg"), "jpeg");
         return under_test_->make_link(outside, at({"Link"}), true);
       },
       false},
      // The names a change gives are never taken for more than one entry each.
      {"a name that leads out of the root",
       {"..", "Away", "x.jpg"},
       [&] {
         EXPECT_TRUE(fs().create_folders(under_test_->folder().child("Away")).ok());
         file_at(under_test_->folder().child("Away").child("x.jpg"), "jpeg");
         return true;
       },
       false},
  };
  for (const Place& place : places) {
    SCOPED_TRACE(place.label);
    if (place.photo_below_root) file(place.photo);
    if (!place.make()) continue;
    const Names folder_names(place.photo.begin(), place.photo.end() - 1);

    const ChangeUpdateStats stats =
        update({{0, ChangeKind::Appeared, place.photo}, {0, ChangeKind::Listing, folder_names}});

    EXPECT_EQ(stats.ini_written, 0u);
    for (std::size_t depth = 0; depth < place.photo.size(); ++depth) {
      const Names names(place.photo.begin(), place.photo.begin() + depth);
      EXPECT_FALSE(under_test_->stored(at(names).child("desktop.ini")))
          << testing::PrintToString(names);
    }
  }
}

TEST_P(UpdateAfterChangesTest, AStopRequestEndsTheWorkBeforeTheNextFolder) {
  file({"A", "x.jpg"});
  platform::StopSignal stop;
  stop.request();

  const ChangeUpdateStats stats = update({{0, ChangeKind::Listing, {"A"}}}, &stop);

  EXPECT_TRUE(stats.cut_short);
  EXPECT_EQ(stats.folders_looked_at, 0u);
  EXPECT_FALSE(under_test_->stored(at({"A"}).child("desktop.ini")));
}

INSTANTIATE_TEST_SUITE_P(RealDiskAndFake, UpdateAfterChangesTest,
                         testing::ValuesIn(test_support::real_disk_and_fake()),
                         test_support::kind_name);

// ---- failures only the fake gives on demand ----------------------------------------------------

class UpdateAfterChangesFakeTest : public testing::Test {
 protected:
  ChangeUpdateStats update(const std::vector<Change>& changes) {
    ChangedFolders changed;
    for (const Change& change : changes) changed.add(change);
    auto root = fs_.open_folder(root_);
    EXPECT_TRUE(root.ok());
    return update_after_changes(**root, root_, changed.folders(0));
  }

  test_support::FakeFileSystem fs_;
  const Path root_ = Path::from_text("Root");
};

// A listing that was refused or broke off may have hidden the content that is left: nothing is
// removed, there or above.
TEST_F(UpdateAfterChangesFakeTest, AListingNotReadWholeRemovesNothing) {
  const Path a = root_.child("A");
  const std::function<void()> failures[] = {
      [&] { fs_.refuse(test_support::FakeFileSystem::Op::OpenListing, a); },
      [&] { fs_.break_listing_after(a, 1); },  // after desktop.ini
  };
  for (const auto& fail : failures) {
    fs_.add_file(a.child("x.jpg"));
    static_cast<void>(scan_folder(fs_, root_));
    fs_.take_out(a.child("x.jpg"));
    fail();
    fs_.clear_operations();

    const ChangeUpdateStats stats = update({{0, ChangeKind::Disappeared, {"A", "x.jpg"}}});

    EXPECT_EQ(stats.folders_looked_at, 1u);
    EXPECT_EQ(stats.ini_removed, 0u);
    EXPECT_THAT(fs_.operations(), testing::IsEmpty());
    fs_.lift_refusal(test_support::FakeFileSystem::Op::OpenListing, a);
  }
}

TEST_F(UpdateAfterChangesFakeTest, AFolderOnAnotherFileSystemIsNeitherReachedNorWalked) {
  fs_.add_file(root_.child("Mount").child("x.jpg"));
  fs_.refuse(test_support::FakeFileSystem::Op::OpenFolder, root_.child("Mount"),
             ErrorKind::OtherFileSystem);

  // Reached on the way to a folder below it, and as a folder that appeared.
  for (const Names& names : {Names{"Mount", "x.jpg"}, Names{"Mount"}}) {
    SCOPED_TRACE(testing::PrintToString(names));
    const ChangeUpdateStats stats = update({{0, ChangeKind::Appeared, names}});
    EXPECT_EQ(stats.folders_looked_at, 0u);
    EXPECT_THAT(fs_.operations(), testing::IsEmpty());
  }
}

// Far deeper than the folders kept open along the way: every folder on the way up is reopened
// from one above it, and the handles held stay bounded.
TEST_F(UpdateAfterChangesFakeTest, ADeepChainGetsAndLosesItsIconsWithFewFoldersOpen) {
  constexpr std::size_t kDepth = 3000;
  const Path deepest = fs_.add_folder_chain(root_, "d", kDepth);
  fs_.add_file(deepest.child("photo.jpg"));
  Names photo(kDepth, "d");
  photo.push_back("photo.jpg");

  const ChangeUpdateStats added = update({{0, ChangeKind::Appeared, photo}});

  EXPECT_EQ(added.folders_looked_at, 1u);
  EXPECT_EQ(added.ini_written, kDepth + 1);
  EXPECT_TRUE(fs_.contains(deepest.child("desktop.ini")));
  EXPECT_TRUE(fs_.contains(root_.child("desktop.ini")));
  EXPECT_LT(fs_.max_open_folders(), 200);

  fs_.take_out(deepest.child("photo.jpg"));
  const ChangeUpdateStats removed = update({{0, ChangeKind::Disappeared, photo}});

  EXPECT_EQ(removed.folders_looked_at, kDepth + 1);
  EXPECT_EQ(removed.ini_removed, kDepth + 1);
  EXPECT_FALSE(fs_.contains(root_.child("desktop.ini")));
  EXPECT_LT(fs_.max_open_folders(), 200);
}

}  // namespace
}  // namespace tindral
