// The fake stands in for the disk in the walk and writer tests; these cases pin the behaviour
// those tests rely on, where a fault in the fake would hide a fault in the code under test. That
// it behaves as the real layer does is proven by running the same cases against both
// (file_system_test.cpp); here is what only the fake offers: building trees, failures and changes
// on demand, the record of calls, counts of open handles, and trees deeper than any disk takes.

#include "support/fake_file_system.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/listing.h"

namespace tindral {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using platform::DirEntry;
using platform::kAttrArchive;
using platform::kAttrDirectory;
using platform::kAttrHidden;
using platform::kAttrNormal;
using platform::kAttrReadonly;
using platform::kAttrReparsePoint;
using platform::kAttrSystem;
using test_support::FakeFileSystem;

const Path kRoot = Path::from_text("Root");

TEST(FakeFileSystemTest, AttributesFollowWindows) {
  FakeFileSystem fs;
  const Path readonly = kRoot.child("ro.txt");
  const Path hidden = kRoot.child("hs.txt");
  fs.add_file(readonly, "old", kAttrReadonly);
  fs.add_file(hidden, "old", kAttrHidden | kAttrSystem);

  auto refused = fs.create_or_truncate(readonly);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::AccessDenied);
  EXPECT_EQ(fs.content(readonly), "old");

  ASSERT_TRUE(fs.create_or_truncate(hidden).ok());
  EXPECT_EQ(fs.content(hidden), "");
  EXPECT_EQ(fs.attributes(hidden), kAttrHidden | kAttrSystem | kAttrArchive);

  ASSERT_TRUE(fs.set_attributes(hidden, 0).ok());
  EXPECT_EQ(fs.attributes(hidden), kAttrNormal);
  ASSERT_TRUE(fs.set_attributes(kRoot, kAttrReadonly).ok());
  EXPECT_EQ(fs.attributes(kRoot), kAttrDirectory | kAttrReadonly);

  ASSERT_TRUE(fs.delete_file(readonly).ok());
  EXPECT_FALSE(fs.contains(readonly));
  EXPECT_TRUE(fs.read_file(readonly, kWholeFile).error().is_not_found());
  EXPECT_EQ(fs.delete_file(kRoot).error().kind(), ErrorKind::AccessDenied);
}

TEST(FakeFileSystemTest, RecordsChangesIncludingFailedOnes) {
  FakeFileSystem fs;
  const Path file = kRoot.child("a.txt");
  const Path temp = kRoot.child("a.tmp");
  fs.add_folder(kRoot);
  fs.refuse(FakeFileSystem::Op::DeleteFile, file);
  ASSERT_TRUE(fs.create_or_truncate(temp).value()->write_all("new").ok());
  ASSERT_TRUE(fs.replace_file(temp, file).ok());
  EXPECT_FALSE(fs.delete_file(file).ok());
  EXPECT_FALSE(fs.set_attributes(kRoot.child("missing"), 0x2).ok());

  const std::string sep(1, platform::kSeparator);
  EXPECT_EQ(fs.operations(), (std::vector<std::string>{
                                 "create Root" + sep + "a.tmp",
                                 "write Root" + sep + "a.tmp",
                                 "replace Root" + sep + "a.tmp Root" + sep + "a.txt",
                                 "delete Root" + sep + "a.txt (failed)",
                                 "set_attributes Root" + sep + "missing 0x2 (failed)",
                             }));
  EXPECT_EQ(fs.content(file), "new");
  EXPECT_FALSE(fs.contains(temp));
}

TEST(FakeFileSystemTest, ListingsKeepInsertionOrderAndCanBreakOff) {
  FakeFileSystem fs;
  fs.add_file(kRoot.child("b.txt"));
  fs.add_link(kRoot.child("link"), platform::kReparseTagSymlink);
  fs.add_folder(kRoot.child("a"), kAttrDirectory | kAttrHidden);

  const std::vector<DirEntry> entries = test_support::list_folder(fs, kRoot);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "b.txt");
  EXPECT_EQ(entries[1].name, "link");
  EXPECT_EQ(entries[1].attributes, kAttrDirectory | kAttrReparsePoint);
  EXPECT_EQ(entries[1].reparse_tag, platform::kReparseTagSymlink);
  EXPECT_EQ(entries[2].name, "a");
  EXPECT_EQ(entries[2].attributes, kAttrDirectory | kAttrHidden);

  fs.break_listing_after(kRoot, 1);
  auto root = fs.open_folder(kRoot);
  ASSERT_TRUE(root.ok());
  auto listing = (*root)->open_listing();
  ASSERT_TRUE(listing.ok());
  DirEntry entry;
  EXPECT_TRUE((*listing)->next(entry).value());
  EXPECT_FALSE((*listing)->next(entry).ok());
}

TEST(FakeFileSystemTest, CountsOpenListingsAndFolders) {
  FakeFileSystem fs;
  fs.add_folder(kRoot.child("a"));
  {
    auto root = fs.open_folder(kRoot);
    auto child = (*root)->open_subfolder("a");
    auto outer = (*root)->open_listing();
    auto inner = (*child)->open_listing();
    EXPECT_EQ(fs.open_listings(), 2);
    EXPECT_EQ(fs.open_folders(), 2);
  }
  auto again = fs.open_folder(kRoot);
  auto listing = (*again)->open_listing();
  EXPECT_EQ(fs.open_listings(), 1);
  EXPECT_EQ(fs.max_open_listings(), 2);
  EXPECT_EQ(fs.open_folders(), 1);
  EXPECT_EQ(fs.max_open_folders(), 2);
}

// Handles hold their entries as Windows handles do: a moved folder is still the one a handle
// acts on, a link is never opened as the folder it names, and a new file never takes a name that
// anything already has.
TEST(FakeFileSystemTest, HandlesFollowTheirEntriesAndRefuseLinks) {
  FakeFileSystem fs;
  fs.add_folder(kRoot.child("a"));
  fs.add_link(kRoot.child("link"));
  fs.add_file(kRoot.child("taken"), "mine");
  auto root = fs.open_folder(kRoot);
  ASSERT_TRUE(root.ok());

  EXPECT_EQ((*root)->open_subfolder("link").error().kind(), ErrorKind::WrongType);
  EXPECT_EQ((*root)->open_subfolder("taken").error().kind(), ErrorKind::WrongType);
  EXPECT_TRUE((*root)->open_subfolder("missing").error().is_not_found());
  EXPECT_EQ((*root)->create_file("taken").error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ((*root)->create_file("link").error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(fs.content(kRoot.child("taken")), "mine");

  auto a = (*root)->open_subfolder("a");
  ASSERT_TRUE(a.ok());
  fs.move(kRoot.child("a"), kRoot.child("b"));
  ASSERT_TRUE((*a)->set_attributes(kAttrDirectory | kAttrHidden).ok());
  EXPECT_EQ(fs.attributes(kRoot.child("b")), kAttrDirectory | kAttrHidden);
  auto parent = (*a)->open_parent();
  ASSERT_TRUE(parent.ok());
  EXPECT_EQ(*(*parent)->id(), *(*root)->id());
}

TEST(FakeFileSystemTest, AChangeRunsOnceRightBeforeItsCall) {
  FakeFileSystem fs;
  fs.add_folder(kRoot);
  int runs = 0;
  fs.before(FakeFileSystem::Op::OpenFolder, kRoot.child("late"), [&] {
    ++runs;
    fs.add_folder(kRoot.child("late"));
  });
  auto root = fs.open_folder(kRoot);
  EXPECT_TRUE((*root)->open_subfolder("late").ok());
  EXPECT_TRUE((*root)->open_subfolder("late").ok());
  EXPECT_EQ(runs, 1);
}

// A walk runs 100,000 folders deep through the fake: down listing each folder, then back up
// changing each one, as a bottom-up walk does.
TEST(FakeFileSystemTest, HandlesATreeOneHundredThousandFoldersDeep) {
  constexpr std::size_t kDepth = 100000;
  FakeFileSystem fs;
  const Path deepest = fs.add_folder_chain(kRoot, "d", kDepth);
  ASSERT_EQ(deepest.bytes().size(), kRoot.bytes().size() + 2 * kDepth);
  fs.add_file(deepest.child("content.txt"), "x");

  auto opened = fs.open_folder(kRoot);
  ASSERT_TRUE(opened.ok());
  std::unique_ptr<platform::Folder> folder = std::move(opened).value();
  std::size_t listed = 0;
  for (std::size_t level = 0; level <= kDepth; ++level) {
    auto listing = folder->open_listing();
    ASSERT_TRUE(listing.ok());
    DirEntry entry;
    while ((*listing)->next(entry).value()) ++listed;
    if (level < kDepth) folder = std::move(folder->open_subfolder("d")).value();
  }
  EXPECT_EQ(listed, kDepth + 1);

  for (std::size_t level = kDepth; level > 0; --level) {
    ASSERT_TRUE(folder->set_attributes(kAttrDirectory | kAttrReadonly).ok());
    folder = std::move(folder->open_parent()).value();
  }
  EXPECT_EQ(fs.operation_count(), kDepth);
  EXPECT_EQ(fs.attributes(kRoot.child("d")), kAttrDirectory | kAttrReadonly);
  EXPECT_EQ(fs.content(deepest.child("content.txt")), "x");
}

}  // namespace
}  // namespace tindral
