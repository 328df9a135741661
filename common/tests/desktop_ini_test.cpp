#include "desktop_ini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "config/data_folder.h"
#include "support/desktop_ini_at.h"
#include "support/fake_file_system.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

using platform::kAttrArchive;
using platform::kAttrDirectory;
using platform::kAttrHidden;
using platform::kAttrReadonly;
using platform::kAttrSystem;
using test_support::FakeFileSystem;
using test_support::running_under_wine;

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::uint32_t kHiddenSystem = kAttrHidden | kAttrSystem;

platform::FileSystem& disk() { return platform::real_file_system(); }

std::uint32_t attributes_on_disk(const Path& path) {
  auto attributes = disk().get_attributes(path);
  EXPECT_TRUE(attributes.ok()) << path.display();
  return attributes.ok() ? *attributes : 0;
}

void set_attributes_on_disk(const Path& path, std::uint32_t attributes) {
  auto set = disk().set_attributes(path, attributes);
  ASSERT_TRUE(set.ok()) << path.display() << ": " << set.error().message();
}

// Wine adds ARCHIVE to every regular file it reports.
void expect_exactly_hidden_system(const Path& file) {
  const std::uint32_t attributes = attributes_on_disk(file);
  if (running_under_wine()) {
    EXPECT_EQ(attributes & 0x7, kHiddenSystem) << file.display();
  } else {
    EXPECT_EQ(attributes, kHiddenSystem) << file.display();
  }
}

bool folder_is_readonly(const Path& folder) {
  return (attributes_on_disk(folder) & kAttrReadonly) != 0;
}

// The error's own message on top, the operating system's error with its code at the bottom.
void expect_error(const Error& error, std::string_view message) {
  EXPECT_EQ(error.message(), message);
  EXPECT_EQ(error.chain().size(), 2u);
  EXPECT_TRUE(error.os_code().has_value()) << error.chain().back();
}

std::string with_lf_line_ends(std::string text) {
  std::erase(text, '\r');
  return text;
}

// ---- content and markers ----------------------------------------------------------------------

TEST(DesktopIniContentTest, IsFourCrLfLinesNamingFolderIcoInTheDataFolder) {
  EXPECT_EQ(build_desktop_ini_content(Path::from_text("C:\\ProgramData\\Tindral")),
            "[.ShellClassInfo]\r\n"
            "IconResource=C:\\ProgramData\\Tindral\\folder.ico,0\r\n"
            "[Tindral]\r\n"
            "Generated=true\r\n");
}

// UTF-16 code units, little-endian, for ASCII text; other characters are spelled out as bytes.
std::string utf16le(std::string_view ascii) {
  std::string bytes;
  for (char c : ascii) bytes += {c, '\0'};
  return bytes;
}

std::string utf16be(std::string_view ascii) {
  std::string bytes;
  for (char c : ascii) bytes += {'\0', c};
  return bytes;
}

constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

TEST(DesktopIniContentTest, IconPathHasBackslashesOnlyAndReplacementCharacters) {
  EXPECT_NE(build_desktop_ini_content(Path::from_text("D:/Data/Tindral"))
                .find("\r\nIconResource=D:\\Data\\Tindral\\folder.ico,0\r\n"),
            std::string::npos);
  // The replacement character is outside ASCII, so that content is UTF-16 too.
  EXPECT_NE(build_desktop_ini_content(Path(std::string("C:\\Caf\xE9\\Tindral")))
                .find(utf16le("IconResource=C:\\Caf") + "\xFD\xFF" +
                      utf16le("\\Tindral\\folder.ico,0\r\n")),
            std::string::npos);
}

// The shell's INI reader takes a file as Unicode only after a UTF-16LE byte-order mark; a path
// outside ASCII in UTF-8 would be read in the ANSI code page and name no file.
TEST(DesktopIniContentTest, AnIconPathOutsideAsciiIsWrittenAsUtf16LeAndIsUpToDateAsWritten) {
  // "C:\Blåbær\<U+1F4C1>\stjerne.ico": two Latin-1 letters and one beyond the BMP (a pair).
  const std::string icon =
      "C:\\Bl\xC3\xA5"
      "b\xC3\xA6r\\\xF0\x9F\x93\x81\\stjerne.ico";
  const std::string expected =
      std::string(kUtf16LeBom) + utf16le("[.ShellClassInfo]\r\nIconResource=C:\\Bl") +
      std::string("\xE5\0", 2) + utf16le("b") + std::string("\xE6\0", 2) + utf16le("r\\") +
      "\x3D\xD8\xC1\xDC" + utf16le("\\stjerne.ico,0\r\n[Tindral]\r\nGenerated=true\r\n");
  const std::string content = build_desktop_ini_content_for_icon(icon);
  EXPECT_EQ(content, expected);
  EXPECT_EQ(classify_desktop_ini(content, content), DesktopIniKind::UpToDate);
  // The file an earlier version wrote for the same icon, in UTF-8, is the service's to rewrite.
  const std::string earlier =
      "[.ShellClassInfo]\r\nIconResource=" + icon + ",0\r\n[Tindral]\r\nGenerated=true\r\n";
  EXPECT_EQ(classify_desktop_ini(earlier, content), DesktopIniKind::Marked);
}

TEST(DesktopIniContentTest, ProcessContentNamesTheIconInDataFolder) {
  std::string icon = data_folder().display();
  std::replace(icon.begin(), icon.end(), '/', '\\');
  if (!icon.ends_with('\\')) icon += '\\';
  icon += "folder.ico";
  EXPECT_EQ(desktop_ini_content(),
            "[.ShellClassInfo]\r\nIconResource=" + icon + ",0\r\n[Tindral]\r\nGenerated=true\r\n");
}

TEST(DesktopIniContentTest, IsBuiltOnceAndIgnoresLaterEnvironmentChanges) {
  const std::string& first = desktop_ini_content();
  const std::string before = first;
  test_support::ScopedEnv moved("ProgramData", "Q:\\Elsewhere");
  ASSERT_NE(data_folder().display().find("Elsewhere"), std::string::npos);
  EXPECT_EQ(&desktop_ini_content(), &first);
  EXPECT_EQ(desktop_ini_content(), before);
}

TEST(DesktopIniMarkerTest, AnyMarkerWordAnywhereCaseSensitive) {
  struct Case {
    std::string_view text;
    bool marked;
  };
  const Case cases[] = {
      {"[Tindral]", true},
      {"IconResource=C:\\ProgramData\\Tindral\\x.ico", true},
      {"Zorbenite", true},
      {"xPlimsotterx", true},
      {"Mode=Quarnel\r\n", true},
      {"[tindral]", false},
      {"TINDRAL", false},
      {"Tindra l", false},
      {"", false},
      {"[.ShellClassInfo]\r\nIconResource=x.ico,0\r\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_marked(c.text), c.marked) << c.text;
}

// ---- ensure and remove on the real disk ----------------------------------------------------

class DesktopIniDiskTest : public testing::Test {
 protected:
  test_support::TempDir dir_;
  const Path folder_ = dir_.path();
  const Path ini_ = dir_ / "desktop.ini";
};

TEST_F(DesktopIniDiskTest, EnsureWritesHiddenSystemFileAndMarksFolderReadOnly) {
  auto written = test_support::ensure_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(written.ok()) << written.error().message();
  EXPECT_TRUE(*written);
  EXPECT_EQ(test_support::read_bytes(ini_), desktop_ini_content());
  expect_exactly_hidden_system(ini_);
  if (running_under_wine()) GTEST_SKIP() << "Wine drops READONLY on folders";
  EXPECT_TRUE(folder_is_readonly(folder_));
}

TEST_F(DesktopIniDiskTest, SecondEnsureWritesNothing) {
  ASSERT_TRUE(test_support::ensure_desktop_ini_at(disk(), folder_).value());
  auto again = test_support::ensure_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(*again);
  EXPECT_EQ(test_support::read_bytes(ini_), desktop_ini_content());
  expect_exactly_hidden_system(ini_);
}

// A user (or a copy to a disk without the attributes) may have taken them away: the file is
// hidden again, and nothing is counted.
TEST_F(DesktopIniDiskTest, AnUpToDateFileThatLostHiddenOrSystemIsHiddenAgain) {
  for (const std::uint32_t left : {platform::kAttrNormal, kAttrHidden, kAttrSystem}) {
    test_support::write_bytes(ini_, desktop_ini_content());
    set_attributes_on_disk(ini_, left);
    auto written = test_support::ensure_desktop_ini_at(disk(), folder_);
    ASSERT_TRUE(written.ok()) << written.error().message();
    EXPECT_FALSE(*written);
    expect_exactly_hidden_system(ini_);
  }
}

enum class Owner { UpToDate, StaleOwn, Customised, Foreign };

struct ExistingFile {
  const char* name;
  std::string bytes;
  Owner owner;
};

void PrintTo(const ExistingFile& file, std::ostream* out) { *out << file.name; }

std::string own_with_icon(std::string_view icon_resource) {
  return "[.ShellClassInfo]\r\nIconResource=" + std::string(icon_resource) +
         "\r\n[Tindral]\r\nGenerated=true\r\n";
}

// What the shell's Customize tab leaves: it edits the file in place, so the marker section stays.
std::vector<ExistingFile> customised_files() {
  const std::string& own = desktop_ini_content();
  const std::string changed_icon = own_with_icon("C:\\Windows\\System32\\SHELL32.dll,4");
  return {
      {"ChangedIcon", changed_icon, Owner::Customised},
      {"ViewStateAdded", own + "[ViewState]\r\nMode=\r\nVid=\r\nFolderType=Pictures\r\n",
       Owner::Customised},
      {"IconFileAndIndex",
       "[.ShellClassInfo]\r\nIconFile=C:\\Icons\\mine.ico\r\nIconIndex=0\r\n"
       "IconResource=C:\\ProgramData\\Tindral\\folder.ico,0\r\n[Tindral]\r\nGenerated=true\r\n",
       Owner::Customised},
      {"InfoTipAdded",
       "[.ShellClassInfo]\r\nInfoTip=Holiday\r\n" + own.substr(own.find("IconResource")),
       Owner::Customised},
      {"AnotherIcoWithIndexZero", own_with_icon("C:\\Users\\asa\\star.ico,0"), Owner::Customised},
      {"FolderIcoWithAnotherIndex", own_with_icon("C:\\ProgramData\\Tindral\\folder.ico,3"),
       Owner::Customised},
      {"IconRestoredToDefault", "[.ShellClassInfo]\r\n[Tindral]\r\nGenerated=true\r\n",
       Owner::Customised},
      {"ByteOrderMarkBeforeOtherMarkedText", std::string(kBom) + "[Tindral]\r\n",
       Owner::Customised},
      {"QuarnelInOtherText", "[ViewState]\r\nMode=Quarnel\r\n", Owner::Customised},
      {"Utf16LeChangedIcon", std::string(kUtf16LeBom) + utf16le(changed_icon), Owner::Customised},
      {"Utf16BeChangedIcon", std::string(kUtf16BeBom) + utf16be(changed_icon), Owner::Customised},
  };
}

std::vector<ExistingFile> existing_files() {
  const std::string& own = desktop_ini_content();
  std::vector<ExistingFile> files = {
      {"UpToDate", own, Owner::UpToDate},
      {"OneByteOrderMark", std::string(kBom) + own, Owner::UpToDate},
      {"ThreeByteOrderMarks", std::string(kBom) + std::string(kBom) + std::string(kBom) + own,
       Owner::UpToDate},
      {"LfLineEnds", with_lf_line_ends(own), Owner::StaleOwn},
      {"OlderIconPath", own_with_icon("C:\\Old\\Tindral\\folder.ico,0"), Owner::StaleOwn},
      {"FileServerIcon", own_with_icon("\\\\fileserver\\icons\\folder.ico,0"), Owner::StaleOwn},
      {"SpacingBlankLinesAndLetterCase",
       "\r\n  [.shellclassinfo]\r\n\r\niconresource = D:\\Data\\Tindral\\FOLDER.ICO , 0 \n"
       "\t[TINDRAL]\r\nGENERATED= True",
       Owner::StaleOwn},
      {"SectionsSwappedAnotherMarker",
       "[Quarnel]\nGenerated=true\n[.ShellClassInfo]\nIconResource=C:\\x\\folder.ico,0\n",
       Owner::StaleOwn},
      {"ContentWithTrailingSpace", own + " ", Owner::StaleOwn},
      {"CutOffAfterTheMarker", own.substr(0, own.find("Generated") + 3), Owner::StaleOwn},
      {"CutOffBeforeAnyMarker", own.substr(0, own.find("IconResource") + 5), Owner::Foreign},
      {"Utf16LeOfTheCurrentText", std::string(kUtf16LeBom) + utf16le(own), Owner::StaleOwn},
      {"Utf16LeOlderIconPathBeyondTheBmp",
       std::string(kUtf16LeBom) + utf16le("[.ShellClassInfo]\r\nIconResource=C:\\") +
           "\x3D\xD8\xC1\xDC" + utf16le("\\folder.ico,0\r\n[Tindral]\r\nGenerated=true\r\n"),
       Owner::StaleOwn},
      {"Utf16BeOlderIconPath",
       std::string(kUtf16BeBom) + utf16be(own_with_icon("E:\\Tindral\\folder.ico,0")),
       Owner::StaleOwn},
      {"ForeignUtf8", "[.ShellClassInfo]\r\nIconResource=C:\\Users\\\xC3\x85sa\\i.ico,0\r\n",
       Owner::Foreign},
      {"ForeignAscii",
       "[.ShellClassInfo]\r\nLocalizedResourceName=@%SystemRoot%\\system32\\shell32.dll,-21770\r\n",
       Owner::Foreign},
      {"LowerCaseMarker",
       "[.ShellClassInfo]\r\nIconResource=\\\\fileserver\\icons\\folder.ico,0\r\n[tindral]\r\n"
       "Generated=true\r\n",
       Owner::Foreign},
      {"Empty", "", Owner::Foreign},
      {"NotUtf8ButMarked", "[Tindral]\r\nIconResource=C:\\Caf\xE9\\folder.ico,0\r\n",
       Owner::Foreign},
      {"Utf16LeWithoutMarker",
       std::string(kUtf16LeBom) + utf16le("[.ShellClassInfo]\r\nIconResource=a.ico,0\r\n"),
       Owner::Foreign},
      {"Utf16LeOddLength", std::string(kUtf16LeBom) + utf16le(own) + "\r", Owner::Foreign},
      {"Utf16LeUnpairedSurrogate",
       std::string(kUtf16LeBom) + utf16le(own) + std::string("\x00\xD8", 2) + utf16le("\r\n"),
       Owner::Foreign},
  };
  for (ExistingFile& customised : customised_files()) files.push_back(std::move(customised));
  return files;
}

class DesktopIniOutcomeTest : public DesktopIniDiskTest,
                              public testing::WithParamInterface<ExistingFile> {
 protected:
  void SetUp() override {
    test_support::write_bytes(ini_, GetParam().bytes);
    set_attributes_on_disk(ini_, kHiddenSystem);
    folder_before_ = attributes_on_disk(folder_);
    ASSERT_EQ(folder_before_ & kAttrReadonly, 0u);
  }

  bool is_someone_elses() const {
    return GetParam().owner == Owner::Foreign || GetParam().owner == Owner::Customised;
  }

  std::uint32_t folder_before_ = 0;
};

TEST_P(DesktopIniOutcomeTest, EnsureRewritesOnlyStaleFilesOfTheServices) {
  const ExistingFile& existing = GetParam();
  auto written = test_support::ensure_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(written.ok()) << written.error().message();
  EXPECT_EQ(*written, existing.owner == Owner::StaleOwn);

  const std::string expected_bytes =
      existing.owner == Owner::StaleOwn ? desktop_ini_content() : existing.bytes;
  EXPECT_EQ(test_support::read_bytes(ini_), expected_bytes);
  expect_exactly_hidden_system(ini_);
  if (is_someone_elses()) {
    EXPECT_EQ(attributes_on_disk(folder_), folder_before_);
    return;
  }
  if (running_under_wine()) GTEST_SKIP() << "Wine drops READONLY on folders";
  EXPECT_TRUE(folder_is_readonly(folder_));
}

TEST_P(DesktopIniOutcomeTest, RemoveDeletesOnlyFilesOfTheServices) {
  const ExistingFile& existing = GetParam();
  auto removed = test_support::remove_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(removed.ok()) << removed.error().message();
  const Removal expected = existing.owner == Owner::Foreign      ? Removal::NothingToRemove
                           : existing.owner == Owner::Customised ? Removal::KeptCustomised
                                                                 : Removal::Removed;
  EXPECT_EQ(*removed, expected);
  if (is_someone_elses()) {
    EXPECT_EQ(test_support::read_bytes(ini_), existing.bytes);
    expect_exactly_hidden_system(ini_);
  } else {
    EXPECT_FALSE(test_support::path_exists(ini_));
  }
}

INSTANTIATE_TEST_SUITE_P(ExistingDesktopIni, DesktopIniOutcomeTest,
                         testing::ValuesIn(existing_files()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesktopIniDiskTest, RemoveWithoutDesktopIniRemovesNothing) {
  auto removed = test_support::remove_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(*removed, Removal::NothingToRemove);
}

// A READONLY file that opens for writing anyway (Wine running as Unix root) cannot show the
// refusal.
bool readonly_files_refuse_writing(const Path& probe) {
  test_support::write_bytes(probe, "x");
  set_attributes_on_disk(probe, kAttrReadonly);
  return !disk().create_or_truncate(probe).ok();
}

TEST_F(DesktopIniDiskTest, MarkedReadOnlyFileCannotBeRewrittenButCanBeRemoved) {
  if (running_under_wine() && !readonly_files_refuse_writing(dir_ / "probe")) {
    GTEST_SKIP() << "Wine: a READONLY file opens for writing when Wine runs as root";
  }
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  test_support::write_bytes(ini_, stale);
  set_attributes_on_disk(ini_, kAttrReadonly | kHiddenSystem);

  auto written = test_support::ensure_desktop_ini_at(disk(), folder_);
  ASSERT_FALSE(written.ok());
  expect_error(written.error(), "Failed to create desktop.ini");
  EXPECT_EQ(written.error().kind(), ErrorKind::AccessDenied);
  EXPECT_EQ(test_support::read_bytes(ini_), stale);

  auto removed = test_support::remove_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(removed.ok()) << removed.error().message();
  EXPECT_EQ(*removed, Removal::Removed);
  EXPECT_FALSE(test_support::path_exists(ini_));
}

TEST_F(DesktopIniDiskTest, RemoveTakesReadOnlyFromTheFolderEvenIfItWasThereBefore) {
  set_attributes_on_disk(folder_, attributes_on_disk(folder_) | kAttrReadonly);
  test_support::write_bytes(ini_, desktop_ini_content());
  auto removed = test_support::remove_desktop_ini_at(disk(), folder_);
  ASSERT_TRUE(removed.ok()) << removed.error().message();
  EXPECT_EQ(*removed, Removal::Removed);
  EXPECT_FALSE(folder_is_readonly(folder_));
}

// ---- failures the real disk does not produce on demand --------------------------------------

class DesktopIniFakeTest : public testing::Test {
 protected:
  void SetUp() override { fs_.add_folder(folder_); }

  FakeFileSystem fs_;
  const Path folder_ = Path::from_text("Root").child("Photos");
  const Path ini_ = folder_.child("desktop.ini");
  const Path new_ = folder_.child(kNewDesktopIniName);

  std::string line(std::string_view verb, const Path& path, std::string_view rest = {}) {
    std::string text(verb);
    text += ' ';
    text += path.display();
    if (!rest.empty()) {
      text += ' ';
      text += rest;
    }
    return text;
  }
};

// The file is written whole and hidden under a name of its own and then put in place; the
// folder keeps its date.
TEST_F(DesktopIniFakeTest, EnsureWritesHidesRenamesThenMarksTheFolder) {
  ASSERT_TRUE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(fs_.operations(),
            (std::vector<std::string>{
                line("create", new_), line("write", new_), line("set_attributes", new_, "0x6"),
                line("rename", new_, "desktop.ini"), line("set_attributes", folder_, "0x11"),
                line("set_last_write_time", folder_)}));
  EXPECT_EQ(fs_.attributes(new_.parent().child("desktop.ini")), kHiddenSystem);
}

// The old file is hidden first (so that a crash leaves it recognisable), the new one takes its
// place in one step, and the old one goes.
TEST_F(DesktopIniFakeTest, StaleMarkedFileIsReplacedInOneStep) {
  fs_.add_file(ini_, with_lf_line_ends(desktop_ini_content()), kAttrArchive | kAttrHidden);
  ASSERT_TRUE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(fs_.operations(),
            (std::vector<std::string>{line("set_attributes", ini_, "0x6"), line("create", new_),
                                      line("write", new_), line("set_attributes", new_, "0x6"),
                                      line("take_place", new_, "desktop.ini"), line("delete", new_),
                                      line("set_attributes", folder_, "0x11"),
                                      line("set_last_write_time", folder_)}));
  EXPECT_EQ(fs_.content(ini_), desktop_ini_content());
  EXPECT_EQ(fs_.attributes(ini_), kHiddenSystem);
  EXPECT_FALSE(fs_.contains(new_));
}

// What a user could see on the disk at every step: no desktop.ini, or a whole and hidden one,
// whether it is written, rewritten, removed or a leftover goes.
TEST_F(DesktopIniFakeTest, AtEveryInstantDesktopIniIsAbsentOrWholeAndHidden) {
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  int states = 0;
  fs_.after_each_operation([&] {
    ++states;
    if (!fs_.contains(ini_)) return;
    const std::string content = fs_.content(ini_);
    EXPECT_TRUE(content == desktop_ini_content() || content == stale) << content;
    EXPECT_EQ(fs_.attributes(ini_) & kHiddenSystem, kHiddenSystem);
  });
  auto folder = test_support::open_folder_at(fs_, folder_);
  ASSERT_TRUE(ensure_desktop_ini(*folder).value());
  fs_.add_file(ini_, stale, kHiddenSystem);
  ASSERT_TRUE(ensure_desktop_ini(*folder).value());
  fs_.add_file(new_, desktop_ini_content().substr(0, 7), kHiddenSystem);
  remove_desktop_ini_leftovers(*folder);
  ASSERT_EQ(remove_desktop_ini(*folder).value(), Removal::Removed);
  EXPECT_FALSE(fs_.contains(ini_));
  EXPECT_FALSE(fs_.contains(new_));
  EXPECT_GE(states, 14);
}

TEST_F(DesktopIniFakeTest, UpToDateFileOnlyGivesTheFolderReadOnlyOnce) {
  fs_.add_file(ini_, desktop_ini_content(), kHiddenSystem);
  EXPECT_FALSE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(fs_.operations(), (std::vector<std::string>{line("set_attributes", folder_, "0x11")}));
  fs_.clear_operations();
  EXPECT_FALSE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_TRUE(fs_.operations().empty());
}

// A cut-off file would count as foreign from then on, and the folder would never get its icon.
// A failure at any step leaves nothing behind, and a stale file of the service's as it was.
TEST_F(DesktopIniFakeTest, AFailureAtAnyStepLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<void(FakeFileSystem&, const Path&)> fail;
    const char* message;
  };
  const Case cases[] = {
      {"create refused",
       [](FakeFileSystem& fs, const Path& file) {
         fs.refuse(FakeFileSystem::Op::CreateOrTruncate, file);
       },
       "Failed to create desktop.ini"},
      {"disk full half-way",
       [](FakeFileSystem& fs, const Path& file) { fs.fail_write_after(file, 20); },
       "Failed to write desktop.ini"},
      {"hiding refused",
       [](FakeFileSystem& fs, const Path& file) {
         fs.refuse(FakeFileSystem::Op::SetAttributes, file);
       },
       "Failed to set file attributes"},
      {"renaming refused",
       [](FakeFileSystem& fs, const Path& file) { fs.refuse(FakeFileSystem::Op::Rename, file); },
       "Failed to create desktop.ini"},
  };
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  for (const Case& c : cases) {
    for (const bool existed : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (existed ? ", stale marked file" : ", new file"));
      FakeFileSystem fs;
      fs.add_folder(folder_);
      if (existed) fs.add_file(ini_, stale, kHiddenSystem);
      fs.set_last_write_time(folder_, {7});
      c.fail(fs, new_);
      auto written = test_support::ensure_desktop_ini_at(fs, folder_);
      ASSERT_FALSE(written.ok());
      expect_error(written.error(), c.message);
      EXPECT_FALSE(fs.contains(new_));
      EXPECT_EQ(fs.contains(ini_), existed);
      if (existed) {
        EXPECT_EQ(fs.content(ini_), stale);
      }
      EXPECT_EQ(fs.attributes(folder_), kAttrDirectory);
      EXPECT_EQ(fs.last_write_time(folder_), platform::FileTime{7});
    }
  }
}

TEST_F(DesktopIniFakeTest, FolderAttributeFailuresAreIgnored) {
  fs_.refuse(FakeFileSystem::Op::SetAttributes, folder_);
  auto written = test_support::ensure_desktop_ini_at(fs_, folder_);
  ASSERT_TRUE(written.ok());
  EXPECT_TRUE(*written);
  auto removed = test_support::remove_desktop_ini_at(fs_, folder_);
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(*removed, Removal::Removed);
}

TEST_F(DesktopIniFakeTest, UnreadableDesktopIniIsNeverOverwrittenNorRemoved) {
  struct Case {
    const char* name;
    ErrorKind read_error;
  };
  for (const Case& c :
       {Case{"access denied", ErrorKind::AccessDenied},
        Case{"invalid data", ErrorKind::InvalidData}, Case{"device error", ErrorKind::Other}}) {
    FakeFileSystem fs;
    fs.add_file(ini_, "[Tindral]\r\n", kHiddenSystem);
    fs.refuse(FakeFileSystem::Op::ReadFile, ini_, c.read_error);
    EXPECT_FALSE(test_support::ensure_desktop_ini_at(fs, folder_).value()) << c.name;
    EXPECT_EQ(test_support::remove_desktop_ini_at(fs, folder_).value(), Removal::NothingToRemove)
        << c.name;
    EXPECT_TRUE(fs.operations().empty()) << c.name;
    EXPECT_EQ(fs.content(ini_), "[Tindral]\r\n") << c.name;
  }
}

TEST_F(DesktopIniFakeTest, FolderNamedDesktopIniIsLeftAlone) {
  fs_.add_folder(ini_);
  EXPECT_FALSE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(test_support::remove_desktop_ini_at(fs_, folder_).value(), Removal::NothingToRemove);
  EXPECT_TRUE(fs_.operations().empty());
}

// An indexer or a virus scanner that holds the file makes the deletion fail: the file stays
// as hidden as it was, and so does the folder's read-only bit.
TEST_F(DesktopIniFakeTest, ADeletionThatFailsUnhidesNothing) {
  fs_.add_folder(folder_, kAttrDirectory | kAttrReadonly);
  fs_.add_file(ini_, desktop_ini_content(), kAttrReadonly | kHiddenSystem);
  fs_.refuse(FakeFileSystem::Op::DeleteFile, ini_);
  auto removed = test_support::remove_desktop_ini_at(fs_, folder_);
  ASSERT_FALSE(removed.ok());
  expect_error(removed.error(), "Failed to remove desktop.ini");
  EXPECT_EQ(fs_.attributes(ini_), kAttrReadonly | kHiddenSystem);
  EXPECT_EQ(fs_.attributes(folder_), kAttrDirectory | kAttrReadonly);
  EXPECT_EQ(fs_.operations(), (std::vector<std::string>{line("delete", ini_, "(failed)")}));
}

TEST_F(DesktopIniFakeTest, FolderReadOnlyChangesOnlyWhenNeeded) {
  auto folder = test_support::open_folder_at(fs_, folder_);
  clear_folder_readonly(*folder);
  fs_.add_folder(folder_, kAttrDirectory | kAttrReadonly | kAttrHidden);
  set_folder_readonly(*folder);
  EXPECT_TRUE(fs_.operations().empty());

  clear_folder_readonly(*folder);
  EXPECT_EQ(fs_.attributes(folder_), kAttrDirectory | kAttrHidden);

  fs_.clear_operations();
  fs_.refuse(FakeFileSystem::Op::GetAttributes, folder_);
  set_folder_readonly(*folder);
  EXPECT_TRUE(fs_.operations().empty());
}

// ---- what only a plain file of the service's own may be -------------------------------------

// Whatever stands in desktop.ini's place that the service could not have written is foreign,
// however marked its bytes: a link or a second name would carry the changes to a file elsewhere.
TEST_F(DesktopIniFakeTest, OnlyAPlainFileWithOneNameWithinTheCapIsTheServices) {
  struct Case {
    const char* name;
    std::function<void(FakeFileSystem&)> plant;
  };
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  const Case cases[] = {
      {"link",
       [&](FakeFileSystem& fs) {
         fs.add_file(ini_, stale, platform::kAttrReparsePoint, platform::kReparseTagSymlink);
       }},
      {"any reparse point",
       [&](FakeFileSystem& fs) {
         fs.add_file(ini_, stale, platform::kAttrReparsePoint, 0x80000023);
       }},
      {"second hard link",
       [&](FakeFileSystem& fs) {
         fs.add_file(ini_, stale);
         fs.set_link_count(ini_, 2);
       }},
      {"device", [&](FakeFileSystem& fs) { fs.add_special(ini_); }},
      {"sparse 8 GB",
       [&](FakeFileSystem& fs) {
         fs.add_file(ini_, stale);
         fs.set_claimed_size(ini_, std::uint64_t{8} << 30);
       }},
      {"one byte over the cap",
       [&](FakeFileSystem& fs) {
         fs.add_file(ini_, stale + std::string(kMaxDesktopIniBytes + 1 - stale.size(), ' '));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool ensure : {true, false}) {
      FakeFileSystem fs;
      fs.add_folder(folder_);
      c.plant(fs);
      const std::string before = fs.content(ini_);
      EXPECT_FALSE(ensure ? test_support::ensure_desktop_ini_at(fs, folder_).value()
                          : test_support::remove_desktop_ini_at(fs, folder_).value() !=
                                Removal::NothingToRemove);
      EXPECT_TRUE(fs.operations().empty()) << fs.operations().front();
      EXPECT_EQ(fs.content(ini_), before);
    }
  }
}

TEST_F(DesktopIniFakeTest, AMarkedFileOfExactlyTheCapIsTheServices) {
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  fs_.add_file(ini_, stale + std::string(kMaxDesktopIniBytes - stale.size(), ' '));
  EXPECT_TRUE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(fs_.content(ini_), desktop_ini_content());
}

// The shell writes a desktop.ini when a user customises a folder: one that appears after the
// listing showed none must be decided like any existing file, never overwritten blindly.
TEST_F(DesktopIniFakeTest, AFileAppearingAfterTheListingIsDecidedAsItIs) {
  struct Case {
    const char* name;
    std::string content;
    std::uint32_t attributes;
    bool rewritten;
  };
  const Case cases[] = {
      {"foreign file", "[.ShellClassInfo]\r\nIconResource=C:\\mine.ico,0\r\n", kAttrArchive, false},
      {"link to a marked file", desktop_ini_content(), platform::kAttrReparsePoint, false},
      {"stale file of the service's", with_lf_line_ends(desktop_ini_content()), kAttrArchive, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs;
    fs.add_folder(folder_);
    fs.before(FakeFileSystem::Op::Rename, new_,
              [&] { fs.add_file(ini_, c.content, c.attributes, platform::kReparseTagSymlink); });
    auto written = test_support::ensure_desktop_ini_at(fs, folder_, ListedDesktopIni::Absent);
    ASSERT_TRUE(written.ok()) << written.error().message();
    EXPECT_EQ(*written, c.rewritten);
    EXPECT_EQ(fs.content(ini_), c.rewritten ? desktop_ini_content() : c.content);
    EXPECT_FALSE(fs.contains(new_));
  }
}

// A rewrite replaces only the very file that was judged: a name swapped meanwhile keeps the
// file that took it, and the judged one stays where it was moved.
TEST_F(DesktopIniFakeTest, ARewriteNeverReplacesAFileThatTookTheNameSinceItWasJudged) {
  const Path moved = folder_.child("moved.ini");
  const std::string foreign = "[.ShellClassInfo]\r\n";
  const std::string stale = with_lf_line_ends(desktop_ini_content());
  fs_.add_file(ini_, stale, kHiddenSystem);
  fs_.before(FakeFileSystem::Op::Rename, new_, [&] {
    fs_.move(ini_, moved);
    fs_.add_file(ini_, foreign);
  });
  EXPECT_FALSE(test_support::ensure_desktop_ini_at(fs_, folder_).value());
  EXPECT_EQ(fs_.content(ini_), foreign);
  EXPECT_EQ(fs_.content(moved), stale);
  EXPECT_FALSE(fs_.contains(new_));
}

}  // namespace
}  // namespace tindral
