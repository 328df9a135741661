// The walks open a folder's desktop.ini only where the folder's listing leaves room for one.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cleanup_folder.h"
#include "desktop_ini.h"
#include "platform/file_system.h"
#include "scan_folder.h"
#include "support/fake_file_system.h"

namespace tindral {
namespace {

using platform::kAttrHidden;
using platform::kAttrSystem;
using test_support::FakeFileSystem;
using testing::UnorderedElementsAre;

struct NameCase {
  const char* label;
  const char* name;
  bool may_be_desktop_ini;
};

class MayNameDesktopIniTest : public testing::TestWithParam<NameCase> {};

TEST_P(MayNameDesktopIniTest, Name) {
  EXPECT_EQ(may_name_desktop_ini(GetParam().name), GetParam().may_be_desktop_ini);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MayNameDesktopIniTest,
    testing::Values(
        NameCase{"Exact", "desktop.ini", true}, NameCase{"UpperCase", "DESKTOP.INI", true},
        NameCase{"MixedCase", "Desktop.Ini", true}, NameCase{"Longer", "desktop.ini.bak", false},
        NameCase{"Shorter", "desktop.in", false}, NameCase{"Prefixed", "xdesktop.ini", false},
        NameCase{"Photo", "IMG_0001.jpg", false}, NameCase{"Empty", "", false},
        // A long s, which file systems that ignore case may fold onto S.
        NameCase{"LongS", "de\xC5\xBFktop.ini", true},
        // Any name outside ASCII, whatever it is: the rule stays simple and safe.
        NameCase{"Accented", "Caf\xC3\xA9.jpg", true}, NameCase{"NotUtf8", "\xFF", true}),
    [](const testing::TestParamInfo<NameCase>& info) { return info.param.label; });

class WalkListingTest : public testing::Test {
 protected:
  // Root holds Photos (a photo, the service's file up to date), New (a photo, no desktop.ini),
  // Empty (nothing), Foreign (nothing but somebody's DESKTOP.INI) and Caf\u00e9 (a file with a
  // name outside ASCII).
  void SetUp() override {
    fake_.add_file(photos_.child("a.jpg"));
    fake_.add_file(photos_.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
    fake_.add_file(fresh_.child("b.jpg"));
    fake_.add_folder(empty_);
    fake_.add_file(foreign_.child("DESKTOP.INI"), "[.ShellClassInfo]\r\n");
    fake_.add_file(accented_.child("caf\xC3\xA9.jpg"));
  }

  static std::string ini(const Path& folder) { return folder.child("desktop.ini").display(); }

  std::vector<std::string> reads() const { return fake_.files_opened_for_reading(); }

  FakeFileSystem fake_;
  FakeFileSystem& fs_ = fake_;
  const Path root_ = Path::from_text("Root");
  const Path photos_ = root_.child("Photos");
  const Path fresh_ = root_.child("New");
  const Path empty_ = root_.child("Empty");
  const Path foreign_ = root_.child("Foreign");
  const Path accented_ = root_.child("Caf\xC3\xA9");
};

TEST_F(WalkListingTest, ScanReadsOnlyWhereTheListingShowsAPossibleDesktopIni) {
  const FolderScanResult result = scan_folder(fs_, root_);

  EXPECT_EQ(result.folders, 6u);
  EXPECT_EQ(result.ini_written, 3u);  // New, Caf\u00e9 and Root
  EXPECT_EQ(result.ini_removed, 0u);
  // Root's listing names Caf\u00e9, which might be desktop.ini for all the walk can tell.
  EXPECT_THAT(reads(),
              UnorderedElementsAre(ini(photos_), ini(foreign_), ini(accented_), ini(root_)));
  EXPECT_TRUE(fake_.contains(fresh_.child("desktop.ini")));
  EXPECT_FALSE(fake_.contains(empty_.child("desktop.ini")));
}

TEST_F(WalkListingTest, CleanupReadsOnlyWhereTheListingShowsAPossibleDesktopIni) {
  const CleanupStats stats = cleanup_folder(fs_, root_);

  EXPECT_EQ(stats.folders_visited, 6u);
  EXPECT_EQ(stats.ini_removed, 1u);  // Photos
  EXPECT_THAT(reads(),
              UnorderedElementsAre(ini(photos_), ini(foreign_), ini(accented_), ini(root_)));
  EXPECT_FALSE(fake_.contains(photos_.child("desktop.ini")));
  EXPECT_TRUE(fake_.contains(foreign_.child("DESKTOP.INI")));
}

// Where the listing cannot vouch for a missing file, the file is read as if nothing were known:
// a listing that broke off may have hidden it, a refused one shows nothing at all. The scan
// decides nothing in a folder whose listing broke off, so it has nothing to read there.
TEST_F(WalkListingTest, BrokenListingLeavesTheReadInPlace) {
  fake_.add_file(root_.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
  fake_.break_listing_after(root_, 1);  // Photos only

  EXPECT_EQ(scan_folder(fs_, root_).ini_written, 0u);
  EXPECT_THAT(reads(), UnorderedElementsAre(ini(photos_)));

  const std::size_t scan_reads = reads().size();
  EXPECT_EQ(cleanup_folder(fs_, root_).ini_removed, 2u);  // Root's and Photos'
  const std::vector<std::string> all_reads = reads();
  EXPECT_THAT(std::vector<std::string>(all_reads.begin() + scan_reads, all_reads.end()),
              UnorderedElementsAre(ini(root_), ini(photos_)));
}

TEST_F(WalkListingTest, RefusedListingLeavesTheCleanupReadInPlace) {
  fake_.add_file(empty_.child("desktop.ini"), desktop_ini_content(), kAttrHidden | kAttrSystem);
  fake_.refuse(FakeFileSystem::Op::OpenListing, empty_);

  const CleanupStats stats = cleanup_folder(fs_, empty_);

  EXPECT_EQ(stats.folders_visited, 1u);
  EXPECT_EQ(stats.ini_removed, 1u);
  EXPECT_THAT(reads(), testing::ElementsAre(ini(empty_)));
  EXPECT_FALSE(fake_.contains(empty_.child("desktop.ini")));
}

}  // namespace
}  // namespace tindral
