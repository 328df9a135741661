#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/fake_file_system.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using platform::kAttrHidden;
using platform::kAttrSystem;
using test_support::FakeFileSystem;
using testing::ElementsAre;

constexpr std::string_view kForeignIni = "[.ShellClassInfo]\r\nIconResource=shell32.dll,4\r\n";

platform::FileSystem& disk() { return platform::real_file_system(); }

void expect_result(const FolderScanResult& result, std::uint64_t folders, std::uint64_t written,
                   std::uint64_t removed, bool has_content) {
  EXPECT_EQ(result.folders, folders);
  EXPECT_EQ(result.ini_written, written);
  EXPECT_EQ(result.ini_removed, removed);
  EXPECT_EQ(result.has_content, has_content);
}

bool has_service_ini(const Path& folder) {
  const Path ini = folder.child("desktop.ini");
  return test_support::path_exists(ini) && test_support::read_bytes(ini) == desktop_ini_content();
}

// ---- real trees --------------------------------------------------------------------------------

class ScanFolderTest : public testing::Test {
 protected:
  test_support::TempDir dir_;
  const Path top_ = dir_ / "Top";
};

TEST_F(ScanFolderTest, ContentInTheLeafGivesEveryFolderUpToTheRootTheIcon) {
  const Path mid = top_.child("Mid");
  const Path leaf = mid.child("Leaf");
  test_support::make_folder(leaf);
  test_support::write_bytes(leaf.child("photo.jpg"), "jpeg");

  expect_result(scan_folder(disk(), top_), 3, 3, 0, true);

  for (const Path& folder : {top_, mid, leaf}) {
    EXPECT_TRUE(has_service_ini(folder)) << folder.display();
  }
  EXPECT_EQ(test_support::read_bytes(leaf.child("photo.jpg")), "jpeg");
}

TEST_F(ScanFolderTest, EmptyFoldersLoseOnlyTheServiceFile) {
  const Path marked = top_.child("Marked");
  const Path foreign = top_.child("Foreign");
  test_support::make_folder(marked);
  test_support::make_folder(foreign);
  test_support::write_bytes(marked.child("desktop.ini"), desktop_ini_content());
  test_support::write_bytes(foreign.child("desktop.ini"), kForeignIni);

  expect_result(scan_folder(disk(), top_), 3, 0, 1, false);

  EXPECT_FALSE(test_support::path_exists(marked.child("desktop.ini")));
  EXPECT_EQ(test_support::read_bytes(foreign.child("desktop.ini")), kForeignIni);
  EXPECT_FALSE(test_support::path_exists(top_.child("desktop.ini")));
}

TEST_F(ScanFolderTest, ForeignFileInAFolderWithContentStaysAndStillCountsAsContent) {
  const Path music = top_.child("Music");
  test_support::make_folder(music);
  test_support::write_bytes(music.child("song.mp3"), "mp3");
  test_support::write_bytes(music.child("desktop.ini"), kForeignIni);

  expect_result(scan_folder(disk(), top_), 2, 1, 0, true);

  EXPECT_EQ(test_support::read_bytes(music.child("desktop.ini")), kForeignIni);
  EXPECT_TRUE(has_service_ini(top_));
}

// The shell's Customize tab edits the service's file in place and keeps its marker: what the
// user chose survives scans and cleanups, and the folder counts as content for the one above.
TEST_F(ScanFolderTest, ACustomisedDesktopIniIsKeptByScanAndCleanupAndCountsAsContent) {
  const Path custom = top_.child("Custom");
  const Path stale = top_.child("Stale");
  test_support::make_folder(custom);
  test_support::make_folder(stale);
  const std::string customised =
      desktop_ini_content() + "[ViewState]\r\nMode=\r\nVid=\r\nFolderType=Pictures\r\n";
  test_support::write_bytes(custom.child("desktop.ini"), customised);
  test_support::write_bytes(stale.child("desktop.ini"),
                            "[.ShellClassInfo]\r\nIconResource=C:\\Old\\Tindral\\folder.ico,0\r\n"
                            "[Tindral]\r\nGenerated=true\r\n");

  expect_result(scan_folder(disk(), top_), 3, 1, 1, true);
  EXPECT_EQ(test_support::read_bytes(custom.child("desktop.ini")), customised);
  EXPECT_FALSE(test_support::path_exists(stale.child("desktop.ini")));
  EXPECT_TRUE(has_service_ini(top_));

  const CleanupStats cleaned = cleanup_folder(disk(), top_);
  EXPECT_EQ(cleaned.folders_visited, 3u);
  EXPECT_EQ(cleaned.ini_removed, 1u);
  EXPECT_EQ(test_support::read_bytes(custom.child("desktop.ini")), customised);
  EXPECT_FALSE(test_support::path_exists(top_.child("desktop.ini")));
}

TEST_F(ScanFolderTest, HiddenSystemFileIsContent) {
  test_support::make_folder(top_);
  const Path thumbs = top_.child("Thumbs.db");
  test_support::write_bytes(thumbs, "cache");
  ASSERT_TRUE(disk().set_attributes(thumbs, kAttrHidden | kAttrSystem).ok());

  expect_result(scan_folder(disk(), top_), 1, 1, 0, true);
  EXPECT_TRUE(has_service_ini(top_));
}

TEST_F(ScanFolderTest, DotFilesAndAnUpperCaseDesktopIniAreNotContent) {
  test_support::make_folder(top_);
  test_support::write_bytes(top_.child(".gitignore"), "build/\n");
  test_support::write_bytes(top_.child("DESKTOP.INI"), kForeignIni);

  expect_result(scan_folder(disk(), top_), 1, 0, 0, false);
  EXPECT_EQ(test_support::read_bytes(top_.child("DESKTOP.INI")), kForeignIni);
}

TEST_F(ScanFolderTest, FolderNamedDesktopIniIsWalked) {
  const Path odd = top_.child("desktop.ini");
  test_support::make_folder(odd);
  test_support::write_bytes(odd.child("notes.txt"), "notes");

  // Top's own desktop.ini is that folder, which cannot be read as a file: left alone, not
  // counted, but Top still has content.
  expect_result(scan_folder(disk(), top_), 2, 1, 0, true);
  EXPECT_TRUE(has_service_ini(odd));
}

TEST_F(ScanFolderTest, SecondWalkWritesAndRemovesNothing) {
  test_support::make_folder(top_.child("A").child("A1"));
  test_support::make_folder(top_.child("B"));
  test_support::write_bytes(top_.child("A").child("A1").child("x.txt"), "x");
  test_support::write_bytes(top_.child("B").child("desktop.ini"), desktop_ini_content());

  expect_result(scan_folder(disk(), top_), 4, 3, 1, true);
  expect_result(scan_folder(disk(), top_), 4, 0, 0, true);
}

TEST_F(ScanFolderTest, ProtectedSubfolderIsNeitherVisitedNorCounted) {
  // "Top/system32" itself is not protected (the fragment needs a separator after the name), but
  // everything below it is.
  const Path system32 = top_.child("system32");
  const Path inner = system32.child("drivers");
  test_support::make_folder(inner);
  test_support::write_bytes(inner.child("driver.sys"), "sys");
  test_support::write_bytes(inner.child("desktop.ini"), desktop_ini_content());

  expect_result(scan_folder(disk(), top_), 2, 0, 0, false);

  EXPECT_TRUE(test_support::path_exists(inner.child("desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(system32.child("desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(top_.child("desktop.ini")));
}

TEST_F(ScanFolderTest, LinksAreNeitherFollowedNorContent) {
  const Path outside = dir_ / "outside";
  test_support::make_folder(outside);
  test_support::make_folder(top_);
  test_support::write_bytes(outside.child("a.txt"), "a");
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: Wine 8 lists a Unix symlink to a folder with reparse tag 0";
  }
  if (!test_support::make_symlink(outside, top_.child("folder-link"), true) ||
      !test_support::make_symlink(outside.child("a.txt"), top_.child("file-link"), false)) {
    GTEST_SKIP() << "this system cannot create symbolic links for the test";
  }

  expect_result(scan_folder(disk(), top_), 1, 0, 0, false);

  EXPECT_FALSE(test_support::path_exists(outside.child("desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(top_.child("desktop.ini")));
}

TEST_F(ScanFolderTest, RootThatIsALinkIsWalkedThroughTheLink) {
  const Path target = dir_ / "target";
  test_support::make_folder(target);
  test_support::write_bytes(target.child("a.txt"), "a");
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: Wine 8 lists a Unix symlink to a folder with reparse tag 0";
  }
  const Path link = dir_ / "link";
  if (!test_support::make_symlink(target, link, true)) {
    GTEST_SKIP() << "this system cannot create symbolic links for the test";
  }

  expect_result(scan_folder(disk(), link), 1, 1, 0, true);
  EXPECT_TRUE(has_service_ini(target));
}

TEST_F(ScanFolderTest, FolderWhoseListingIsDeniedIsCountedAndLeftAlone) {
  if (test_support::running_as_root()) {
    GTEST_SKIP() << "running as root: permissions do not deny a listing (the fake covers it)";
  }
  if (platform::kSeparator == '\\') {
    GTEST_SKIP() << "Windows: denying a listing needs an ACL (the fake covers it)";
  }
  const Path denied = top_.child("Denied");
  test_support::make_folder(denied);
  test_support::write_bytes(denied.child("secret.txt"), "secret");
  test_support::write_bytes(denied.child("desktop.ini"), desktop_ini_content());
  std::filesystem::permissions(denied.bytes(), std::filesystem::perms::owner_write);

  expect_result(scan_folder(disk(), top_), 2, 0, 0, false);

  std::filesystem::permissions(denied.bytes(), std::filesystem::perms::owner_all);
  EXPECT_TRUE(test_support::path_exists(denied.child("desktop.ini")));
}

// The system's own folders (System Volume Information, $Recycle.Bin) are hidden and system;
// natively those attributes live in user.DOSATTRIB, which a listing does not show.
TEST_F(ScanFolderTest, HiddenSystemFolderIsLeftAloneByTheScanAndCleanedUp) {
  const Path system = top_.child("System Volume Information");
  test_support::make_folder(system);
  test_support::write_bytes(system.child("tracking.log"), "log");
  test_support::write_bytes(system.child("desktop.ini"), desktop_ini_content());
  ASSERT_TRUE(disk().set_attributes(system, platform::kAttrDirectory | kAttrHidden | kAttrSystem));

  expect_result(scan_folder(disk(), top_), 1, 0, 0, false);
  EXPECT_TRUE(test_support::path_exists(system.child("desktop.ini")));

  const CleanupStats cleaned = cleanup_folder(disk(), top_);
  EXPECT_EQ(cleaned.folders_visited, 2u);
  EXPECT_EQ(cleaned.ini_removed, 1u);
  EXPECT_FALSE(test_support::path_exists(system.child("desktop.ini")));
}

std::vector<std::string> desktop_inis_below(const Path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.bytes())) {
    if (entry.path().filename() == "desktop.ini") found.push_back(entry.path().string());
  }
  return found;
}

// A desktop.ini inside .git/refs/heads, or inside a bare repository's refs/heads, is read by git
// as a broken branch: a clone of a bare repository fails on it.
TEST_F(ScanFolderTest, GitRepositoriesStayIntactAndTheirGitFoldersAreNotWalked) {
  if (test_support::running_under_wine()) GTEST_SKIP() << "Wine: no git for Windows in the prefix";
  const Path repo = top_.child("repo");
  const Path bare = top_.child("repo.git");
  test_support::make_folder(repo);
  const std::string log = (dir_ / "git.log").display();
  const auto git = [&](const std::string& arguments) {
    const std::string command =
        "git -C \"" + repo.display() + "\" " + arguments + " >>\"" + log + "\" 2>&1";
    return std::system(command.c_str());
  };
  if (git("--version") != 0) GTEST_SKIP() << "git is not on PATH";
  test_support::write_bytes(repo.child("readme.txt"), "hello");
  ASSERT_EQ(git("init -q"), 0);
  ASSERT_EQ(git("add readme.txt"), 0);
  ASSERT_EQ(git("-c user.name=Test -c user.email=test@example.com commit -q -m first"), 0);
  ASSERT_EQ(git("clone -q --bare . \"" + bare.display() + "\""), 0);

  const FolderScanResult result = scan_folder(disk(), top_);

  EXPECT_EQ(result.folders, 2u);  // Top and repo; .git and the bare repository are not counted
  EXPECT_TRUE(has_service_ini(repo));
  EXPECT_THAT(desktop_inis_below(repo.child(".git")), testing::IsEmpty());
  EXPECT_THAT(desktop_inis_below(bare), testing::IsEmpty());
  EXPECT_EQ(git("gc -q"), 0) << test_support::read_bytes(dir_ / "git.log");
  EXPECT_EQ(git("fsck"), 0) << test_support::read_bytes(dir_ / "git.log");
  EXPECT_EQ(git("clone -q \"" + bare.display() + "\" \"" + (dir_ / "copy").display() + "\""), 0)
      << test_support::read_bytes(dir_ / "git.log");
}

// A folder is a bare repository by its own listing alone: HEAD beside the folders objects and
// refs, in any letter case. Anything less is walked like any other folder.
TEST_F(ScanFolderTest, OnlyAFolderWithHeadObjectsAndRefsIsLeftAloneAsABareRepository) {
  struct Layout {
    const char* label;
    const char* head;
    bool head_is_folder;
    const char* objects;
    const char* refs;
    bool left_alone;
  };
  const Layout layouts[] = {
      {"bare repository", "HEAD", false, "objects", "refs", true},
      {"other letter case", "head", false, "OBJECTS", "Refs", true},
      {"no refs", "HEAD", false, "objects", "refs-old", false},
      {"HEAD is a folder", "HEAD", true, "objects", "refs", false},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.label);
    const test_support::TempDir dir;
    const Path top = dir / "Top";
    const Path repo = top.child("server.git");
    const Path pack = repo.child(layout.objects).child("pack");
    test_support::make_folder(pack);
    test_support::make_folder(repo.child(layout.refs).child("heads"));
    test_support::write_bytes(pack.child("pack-1.pack"), "PACK");
    test_support::write_bytes(repo.child(layout.refs).child("heads").child("main"), "0123\n");
    if (layout.head_is_folder) {
      test_support::make_folder(repo.child(layout.head));
    } else {
      test_support::write_bytes(repo.child(layout.head), "ref: refs/heads/main\n");
    }
    test_support::write_bytes(repo.child("desktop.ini"), desktop_ini_content());

    const FolderScanResult result = scan_folder(disk(), top);

    if (layout.left_alone) {
      expect_result(result, 1, 0, 0, false);
      EXPECT_TRUE(has_service_ini(repo)) << "nothing is removed in it either";
      EXPECT_FALSE(test_support::path_exists(pack.child("desktop.ini")));
      EXPECT_FALSE(test_support::path_exists(repo.child(layout.refs).child("desktop.ini")));
    } else {
      EXPECT_GT(result.folders, 4u);
      EXPECT_TRUE(result.has_content);
      EXPECT_TRUE(has_service_ini(pack));
    }
  }
}

// A write cut short by a crash or a kill leaves the service's file under a name kept for it; the
// next walk of the folder, scan or cleanup, takes it away (and a scan then writes desktop.ini
// there). A user's file is never taken for one: a name only like it, a file not hidden, or
// bytes the service does not write.
TEST_F(ScanFolderTest, LeftoversOfACutOffWriteGoAndLookAlikesStay) {
  struct Case {
    const char* folder;
    std::string_view name;
    std::string bytes;
    std::uint32_t attributes;
    bool removed;
  };
  const std::string& own = desktop_ini_content();
  const std::string stale =
      "[.ShellClassInfo]\r\nIconResource=C:\\Old\\folder.ico,0\r\n[Tindral]\r\nGenerated=true\r\n";
  const Case cases[] = {
      {"CutOff", kNewDesktopIniName, own.substr(0, 20), kAttrHidden | kAttrSystem, true},
      {"Whole", kNewDesktopIniName, own, kAttrHidden | kAttrSystem, true},
      {"Empty", kNewDesktopIniName, "", kAttrHidden | kAttrSystem, true},
      {"EmptyNotYetHidden", kNewDesktopIniName, "", platform::kAttrNormal, true},
      {"SetAside", kOldDesktopIniName, stale, kAttrHidden | kAttrSystem, true},
      {"NotHidden", kNewDesktopIniName, own, platform::kAttrNormal, false},
      {"UsersBytes", kOldDesktopIniName, "[.ShellClassInfo]\r\nIconResource=C:\\mine.ico,0\r\n",
       kAttrHidden | kAttrSystem, false},
      {"SimilarName", ".desktop.ini.tindral-new.bak", own, kAttrHidden | kAttrSystem, false},
  };
  for (const bool scan : {true, false}) {
    SCOPED_TRACE(scan ? "scan" : "cleanup");
    const Path top = dir_ / (scan ? "Scanned" : "Cleaned");
    for (const Case& c : cases) {
      const Path folder = top.child(c.folder);
      test_support::make_folder(folder);
      test_support::write_bytes(folder.child("photo.jpg"), "jpeg");
      test_support::write_bytes(folder.child(c.name), c.bytes);
      ASSERT_TRUE(disk().set_attributes(folder.child(c.name), c.attributes).ok());
    }

    if (scan) {
      static_cast<void>(scan_folder(disk(), top));
    } else {
      static_cast<void>(cleanup_folder(disk(), top));
    }

    for (const Case& c : cases) {
      const Path folder = top.child(c.folder);
      EXPECT_EQ(test_support::path_exists(folder.child(c.name)), !c.removed) << c.folder;
      if (!c.removed) {
        EXPECT_EQ(test_support::read_bytes(folder.child(c.name)), c.bytes) << c.folder;
      } else if (scan) {
        EXPECT_TRUE(has_service_ini(folder)) << c.folder;
      }
    }
  }
}

// Writing, rewriting and removing desktop.ini, setting and clearing the folder's read-only bit
// and taking a leftover away leave every folder's "Date modified" as it was, so that backups
// and sync tools see no change the user did not make.
TEST_F(ScanFolderTest, FolderDatesAreKeptByScanAndCleanup) {
  const Path photos = top_.child("Photos");
  const Path stale = top_.child("Stale");
  const Path empty = top_.child("Empty");
  for (const Path& folder : {photos, stale, empty}) test_support::make_folder(folder);
  test_support::write_bytes(photos.child("a.jpg"), "jpeg");
  test_support::write_bytes(photos.child(kNewDesktopIniName), "");
  ASSERT_TRUE(disk().set_attributes(photos.child(kNewDesktopIniName), kAttrHidden | kAttrSystem));
  test_support::write_bytes(stale.child("b.jpg"), "jpeg");
  test_support::write_bytes(stale.child("desktop.ini"),
                            "[.ShellClassInfo]\nIconResource=C:\\Old\\folder.ico,0\n[Tindral]\n"
                            "Generated=true\n");
  test_support::write_bytes(empty.child("desktop.ini"), desktop_ini_content());
  const Path folders[] = {top_, photos, stale, empty};
  std::vector<platform::FileTime> before;
  for (const Path& folder : folders) {
    test_support::backdate(folder);
    before.push_back(test_support::last_write_time(folder));
  }

  expect_result(scan_folder(disk(), top_), 4, 3, 1, true);
  for (std::size_t i = 0; i < std::size(folders); ++i) {
    EXPECT_EQ(test_support::last_write_time(folders[i]), before[i]) << folders[i].display();
  }

  EXPECT_EQ(cleanup_folder(disk(), top_).ini_removed, 3u);
  for (std::size_t i = 0; i < std::size(folders); ++i) {
    EXPECT_EQ(test_support::last_write_time(folders[i]), before[i]) << folders[i].display();
  }
}

// A chain of short names deeper than a whole path may be: natively 6,000 bytes, well past the
// kernel's PATH_MAX of 4,096. Wine resolves a path one component at a time on every call, so a
// walk there takes time in the cube of the depth (about 25 minutes at 3,000 characters); 600
// characters, well past MAX_PATH and so only reachable with the long-path prefix, take seconds.
TEST_F(ScanFolderTest, DeepRealChainIsWalkedAndCleanedUpToTheBottom) {
  const std::size_t path_budget = test_support::running_under_wine() ? 600 : 6000;
  const std::size_t room = path_budget - top_.bytes().size() - std::string("/desktop.ini").size();
  const std::size_t depth = room / 2;  // one separator and one letter per level
  std::string chain = top_.bytes();
  for (std::size_t i = 1; i < depth; ++i) chain += std::string{platform::kSeparator, 'd'};
  const Path leaf(chain);
  const Path middle(chain.substr(0, chain.size() / 2));
  // The file-system layer creates the chain level by level; the test helper's one-call
  // std::filesystem::create_directories gives up near PATH_MAX.
  ASSERT_TRUE(disk().create_folders(leaf).ok());
  test_support::write_bytes(leaf.child("f"), "f");

  expect_result(scan_folder(disk(), top_), depth, depth, 0, true);
  for (const Path& folder : {top_, middle, leaf}) {
    EXPECT_TRUE(has_service_ini(folder)) << folder.bytes().size() << " bytes deep";
  }

  const CleanupStats cleaned = cleanup_folder(disk(), top_);
  EXPECT_EQ(cleaned.folders_visited, depth);
  EXPECT_EQ(cleaned.ini_removed, depth);
  for (const Path& folder : {top_, middle, leaf}) {
    EXPECT_FALSE(test_support::path_exists(folder.child("desktop.ini")))
        << folder.bytes().size() << " bytes deep";
  }
  EXPECT_EQ(test_support::read_bytes(leaf.child("f")), "f");
}

// ---- the walk on the fake: orders, failures and sizes no real disk gives on demand -------------

class ScanFolderFakeTest : public testing::Test {
 protected:
  std::vector<std::string> operations_starting(std::string_view verb) const {
    std::vector<std::string> matching;
    for (const std::string& operation : fs_.operations()) {
      if (operation.starts_with(verb)) matching.push_back(operation);
    }
    return matching;
  }

  // A new desktop.ini appears as its whole, hidden file is renamed into place.
  static std::string placed(const Path& folder) {
    return "rename " + folder.child(kNewDesktopIniName).display() + " desktop.ini";
  }

  FakeFileSystem fs_;
  const Path root_ = Path::from_text("Root");
};

struct ContentCase {
  const char* label;
  const char* name;
  std::uint32_t attributes;
  std::uint32_t reparse_tag;
  bool content;
};

class ScanFolderContentTest : public ScanFolderFakeTest,
                              public testing::WithParamInterface<ContentCase> {};

TEST_P(ScanFolderContentTest, AFolderHoldingOnlyThisEntry) {
  const ContentCase& entry = GetParam();
  fs_.add_folder(root_);
  const Path path = root_.child(entry.name);
  if ((entry.attributes & platform::kAttrDirectory) != 0) {
    fs_.add_folder(path, entry.attributes, entry.reparse_tag);
  } else {
    fs_.add_file(path, "x", entry.attributes, entry.reparse_tag);
  }

  const FolderScanResult result = scan_folder(fs_, root_);

  EXPECT_EQ(result.has_content, entry.content);
  EXPECT_EQ(result.ini_written, entry.content ? 1u : 0u);
}

constexpr std::uint32_t kFile = platform::kAttrArchive;
constexpr std::uint32_t kLinkToFile = platform::kAttrArchive | platform::kAttrReparsePoint;
constexpr std::uint32_t kJunctionTag = 0xA0000003;
constexpr std::uint32_t kDedupTag = 0x80000013;  // a reparse point that is not a link

INSTANTIATE_TEST_SUITE_P(
    ContentRule, ScanFolderContentTest,
    testing::Values(
        ContentCase{"ReadOnlyFile", "readonly.txt", platform::kAttrReadonly, 0, true},
        ContentCase{"DesktopIni", "desktop.ini", kFile, 0, false},
        ContentCase{"DesktopIniMixedCase", "DeskTop.INI", kFile, 0, false},
        ContentCase{"LongerName", "desktop.ini.bak", kFile, 0, true},
        ContentCase{"ShorterName", "desktop.in", kFile, 0, true},
        // Only A to Z fold: a dotless i is another letter.
        ContentCase{"NonAsciiLetter", "desktop.\xC4\xB1ni", kFile, 0, true},
        ContentCase{"LinkToFile", "link.txt", kLinkToFile, platform::kReparseTagSymlink, false},
        ContentCase{"ReparsePointThatIsNoLink", "deduplicated.dat", kLinkToFile, kDedupTag, true},
        ContentCase{"Junction", "Junction", platform::kAttrDirectory | platform::kAttrReparsePoint,
                    kJunctionTag, false}),
    [](const testing::TestParamInfo<ContentCase>& info) { return info.param.label; });

TEST_F(ScanFolderFakeTest, VisitsInListingOrderAndDecidesBottomUp) {
  const Path a = root_.child("A");
  const Path a1 = a.child("A1");
  const Path b = root_.child("B");
  const Path c = root_.child("C");
  fs_.add_file(a1.child("x.txt"));
  fs_.add_file(b.child("y.txt"));
  fs_.add_folder(c);
  fs_.add_file(c.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);

  expect_result(scan_folder(fs_, root_), 5, 4, 1, true);

  EXPECT_THAT(operations_starting("rename "),
              ElementsAre(placed(a1), placed(a), placed(b), placed(root_)));
  EXPECT_THAT(operations_starting("delete "),
              ElementsAre("delete " + c.child("desktop.ini").display()));
  EXPECT_EQ(fs_.max_open_listings(), 1);
}

TEST_F(ScanFolderFakeTest, FailedWriteStillCountsAsContentForTheParent) {
  const Path child = root_.child("Child");
  fs_.add_file(child.child("x.txt"));
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, child.child(kNewDesktopIniName));

  expect_result(scan_folder(fs_, root_), 2, 1, 0, true);
  EXPECT_TRUE(fs_.contains(root_.child("desktop.ini")));
}

TEST_F(ScanFolderFakeTest, UnlistableRootIsCountedAndNothingIsTouched) {
  fs_.add_file(root_.child("x.txt"));
  fs_.add_file(root_.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
  fs_.refuse(FakeFileSystem::Op::OpenListing, root_);

  expect_result(scan_folder(fs_, root_), 1, 0, 0, false);
  EXPECT_THAT(fs_.operations(), testing::IsEmpty());
}

TEST_F(ScanFolderFakeTest, UnlistableSubfolderIsCountedButGivesNoContent) {
  const Path denied = root_.child("Denied");
  const Path empty = root_.child("Empty");
  fs_.add_file(denied.child("secret.txt"));
  fs_.add_file(denied.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
  fs_.add_folder(empty);
  fs_.refuse(FakeFileSystem::Op::OpenListing, denied);

  expect_result(scan_folder(fs_, root_), 3, 0, 0, false);
  EXPECT_TRUE(fs_.contains(denied.child("desktop.ini")));
  EXPECT_THAT(fs_.operations(), testing::IsEmpty());
}

// Mid's listing breaks after Before, so Mid's own files and After are never seen: Mid may hold
// content, and the service's outdated file there is neither rewritten nor removed; Root, which
// holds nothing else, keeps its icon.
TEST_F(ScanFolderFakeTest, BrokenListingDecidesNothingInItsFolderAndKeepsTheIconsAbove) {
  const Path mid = root_.child("Mid");
  const Path before = mid.child("Before");
  const std::string outdated = build_desktop_ini_content_for_icon("C:\\Old\\folder.ico");
  fs_.add_file(root_.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
  fs_.add_file(before.child("x.txt"));
  fs_.add_file(mid.child("desktop.ini"), outdated, kAttrHidden | kAttrSystem);
  fs_.add_file(mid.child("After").child("y.txt"));
  fs_.break_listing_after(mid, 1);

  expect_result(scan_folder(fs_, root_), 3, 1, 0, true);  // Before, whose listing stands

  EXPECT_THAT(operations_starting("rename "), ElementsAre(placed(before)));
  EXPECT_THAT(operations_starting("delete "), testing::IsEmpty());
  EXPECT_EQ(fs_.content(mid.child("desktop.ini")), outdated);
  EXPECT_EQ(fs_.content(root_.child("desktop.ini")), desktop_ini_content());
  EXPECT_FALSE(fs_.contains(mid.child("After").child("desktop.ini")));
}

struct FolderKindCase {
  const char* label;
  std::uint32_t root_attributes;
  std::uint32_t child_attributes;
  std::uint64_t folders;
  bool child_gets_icon;
  bool root_gets_icon;
  bool child_refuses_opening = false;
};

// Root holds nothing but Child, which holds a photo and a marked desktop.ini of an older icon.
class FolderKindTest : public ScanFolderFakeTest,
                       public testing::WithParamInterface<FolderKindCase> {};

TEST_P(FolderKindTest, RootWithOneChild) {
  const FolderKindCase& kind = GetParam();
  const Path child = root_.child("Child");
  const std::string outdated = build_desktop_ini_content_for_icon("C:\\Old\\folder.ico");
  fs_.add_folder(root_, kind.root_attributes);
  fs_.add_folder(child, kind.child_attributes);
  fs_.add_file(child.child("photo.jpg"));
  fs_.add_file(child.child("desktop.ini"), outdated, kAttrHidden | kAttrSystem);
  if (kind.child_refuses_opening) fs_.refuse(FakeFileSystem::Op::OpenFolder, child);

  const FolderScanResult result = scan_folder(fs_, root_);

  EXPECT_EQ(result.folders, kind.folders);
  EXPECT_EQ(result.ini_written, (kind.child_gets_icon ? 1u : 0u) + (kind.root_gets_icon ? 1u : 0u));
  EXPECT_EQ(result.ini_removed, 0u);
  EXPECT_EQ(fs_.content(child.child("desktop.ini")),
            kind.child_gets_icon ? desktop_ini_content() : outdated);
  EXPECT_EQ(fs_.contains(root_.child("desktop.ini")), kind.root_gets_icon);
  // The cleanup takes the service's files out of every folder it can open, these included.
  cleanup_folder(fs_, root_);
  EXPECT_EQ(fs_.contains(child.child("desktop.ini")), kind.child_refuses_opening);
}

constexpr std::uint32_t kFolder = platform::kAttrDirectory;
constexpr std::uint32_t kHiddenSystemFolder = kFolder | kAttrHidden | kAttrSystem;
constexpr std::uint32_t kEncryptedFolder = kFolder | platform::kAttrEncrypted;

INSTANTIATE_TEST_SUITE_P(
    SystemAndEncryptedFolders, FolderKindTest,
    testing::Values(
        // The system's own folder is not entered: not counted, nothing in it changes, and the
        // content it holds gives Root nothing.
        FolderKindCase{"HiddenAndSystem", kFolder, kHiddenSystemFolder, 1, false, false},
        // Where the listing shows the attributes, the folder is not even opened.
        FolderKindCase{"HiddenAndSystemUnopenable", kFolder, kHiddenSystemFolder, 1, false, false,
                       true},
        FolderKindCase{"OnlyHidden", kFolder, kFolder | kAttrHidden, 2, true, true},
        FolderKindCase{"OnlySystem", kFolder, kFolder | kAttrSystem, 2, true, true},
        // No file of the service's is written there, but the content counts above it.
        FolderKindCase{"Encrypted", kFolder, kEncryptedFolder, 2, false, true},
        // The root was chosen; a drive's root is hidden and system.
        FolderKindCase{"HiddenAndSystemRoot", kHiddenSystemFolder, kFolder, 2, true, true},
        FolderKindCase{"EncryptedRoot", kEncryptedFolder, kFolder, 2, true, false}),
    [](const testing::TestParamInfo<FolderKindCase>& info) { return info.param.label; });

TEST_F(ScanFolderFakeTest, GitFolderInAnyCaseIsNotWalked) {
  for (const char* name : {".git", ".GIT", ".Git"}) {
    const Path git = root_.child(name);
    fs_.add_file(git.child("refs").child("heads").child("main"), "0123abcd\n");
  }
  fs_.add_file(root_.child(".gitx").child("x.txt"));

  expect_result(scan_folder(fs_, root_), 2, 2, 0, true);  // Root and .gitx
  EXPECT_THAT(operations_starting("rename "),
              ElementsAre(placed(root_.child(".gitx")), placed(root_)));
}

}  // namespace
}  // namespace tindral
