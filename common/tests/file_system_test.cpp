// The file system the service works through: the same cases hold for the platform's own layer
// on a real disk (natively POSIX emulating the Windows attribute rules, on Windows, and under
// Wine where Wine does not lack the behaviour) and for the fake that stands in for it in the
// walk and writer tests, so that what those tests prove with the fake holds on a disk. The cases
// that need what only a real disk has (permissions, other accounts, another process's open
// handle) run against the real layer alone, at the end.

#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "canonical_path.h"
#include "support/file_system_under_test.h"
#include "support/listing.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using test_support::running_under_wine;

constexpr std::uint32_t kHiddenSystem = kAttrHidden | kAttrSystem;
// The bits the service itself sets and clears.
constexpr std::uint32_t kServiceBits = kAttrReadonly | kAttrHidden | kAttrSystem;

class FileSystemTest : public testing::TestWithParam<test_support::FileSystemKind> {
 protected:
  std::unique_ptr<test_support::FileSystemUnderTest> under_test = GetParam().make();
  FileSystem& fs = under_test->fs();
  const Path dir = under_test->folder();

  /// True where the case meets Wine's emulation of a Windows disk.
  bool on_wine_disk() const { return under_test->on_real_disk() && running_under_wine(); }

  void create_folder(const Path& folder) {
    auto created = fs.create_folders(folder);
    ASSERT_TRUE(created) << folder.display() << ": " << created.error().message();
  }

  void write_file(const Path& file, std::string_view content) {
    auto written = write_through_layer(file, content);
    ASSERT_TRUE(written) << file.display() << ": " << written.error().message();
  }

  Result<void> write_through_layer(const Path& path, std::string_view content) {
    auto file = fs.create_or_truncate(path);
    if (!file) return std::move(file).error();
    return (*file)->write_all(content);
  }

  std::string stored_content(const Path& file) { return under_test->stored_content(file); }
  bool stored(const Path& path) { return under_test->stored(path); }

  std::map<std::string, DirEntry> list(const Path& folder) {
    std::map<std::string, DirEntry> entries;
    for (const DirEntry& entry : test_support::list_folder(fs, folder)) {
      EXPECT_TRUE(entries.emplace(entry.name, entry).second) << "listed twice: " << entry.name;
    }
    return entries;
  }

  std::uint32_t attributes(const Path& path) {
    auto read = fs.get_attributes(path);
    if (!read) ADD_FAILURE() << path.display() << ": " << read.error().message();
    return read ? *read : 0;
  }

  void set(const Path& path, std::uint32_t bits) {
    auto changed = fs.set_attributes(path, bits);
    ASSERT_TRUE(changed) << path.display() << ": " << changed.error().message();
  }
};

INSTANTIATE_TEST_SUITE_P(RealAndFake, FileSystemTest,
                         testing::ValuesIn(test_support::real_disk_and_fake()),
                         test_support::kind_name);

bool is_link_entry(const DirEntry& entry) {
  return (entry.attributes & kAttrReparsePoint) != 0 &&
         (entry.reparse_tag & kReparseTagNameSurrogate) != 0;
}

// ---- listing ----

TEST_P(FileSystemTest, ListsEveryEntryOnceWithoutDotEntries) {
  write_file(dir.child("plain.txt"), "x");
  write_file(dir.child(".hidden-by-name"), "");
  create_folder(dir.child("sub"));
  create_folder(dir.child("desktop.ini"));

  const auto entries = list(dir);

  ASSERT_EQ(entries.size(), 4u);
  EXPECT_FALSE(entries.contains("."));
  EXPECT_FALSE(entries.contains(".."));
  for (const char* folder : {"sub", "desktop.ini"}) {
    ASSERT_TRUE(entries.contains(folder)) << folder;
    EXPECT_NE(entries.at(folder).attributes & kAttrDirectory, 0u) << folder;
  }
  for (const char* file : {"plain.txt", ".hidden-by-name"}) {
    ASSERT_TRUE(entries.contains(file)) << file;
    EXPECT_EQ(entries.at(file).attributes & (kAttrDirectory | kAttrReparsePoint), 0u) << file;
  }
}

TEST_P(FileSystemTest, EmptyFolderListsNothing) { EXPECT_TRUE(list(dir).empty()); }

TEST_P(FileSystemTest, NonAsciiNameRoundTripsThroughListingAndRead) {
  const std::string name =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC.txt";
  write_file(dir.child(name), "content");

  const auto entries = list(dir);

  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.begin()->first, name);
  auto content = fs.read_file(dir.child(entries.begin()->first), kWholeFile);
  ASSERT_TRUE(content) << content.error().message();
  EXPECT_EQ(*content, "content");
}

TEST_P(FileSystemTest, OpeningAMissingFolderFails) {
  auto folder = fs.open_folder(dir.child("missing"));
  ASSERT_FALSE(folder);
  EXPECT_TRUE(folder.error().is_not_found()) << folder.error().message();
}

TEST_P(FileSystemTest, OpeningAFileAsAFolderFails) {
  write_file(dir.child("file"), "x");

  auto folder = fs.open_folder(dir.child("file"));

  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().kind(), ErrorKind::WrongType) << folder.error().message();
}

TEST_P(FileSystemTest, SymbolicLinksAreListedAsLinkEntries) {
  if (on_wine_disk()) {
    GTEST_SKIP() << "Wine: a Unix symlink to a folder is listed with tag 0, and "
                    "CreateSymbolicLinkW creates nothing";
  }
  create_folder(dir.child("target-folder"));
  write_file(dir.child("target-file"), "x");
  ASSERT_TRUE(under_test->make_link(dir.child("target-folder"), dir.child("to-folder"), true));
  ASSERT_TRUE(under_test->make_link(dir.child("target-file"), dir.child("to-file"), false));
  ASSERT_TRUE(under_test->make_link(dir.child("nowhere"), dir.child("dangling"), false));

  const auto entries = list(dir);

  ASSERT_EQ(entries.size(), 5u);
  for (const char* link : {"to-folder", "to-file", "dangling"}) {
    ASSERT_TRUE(entries.contains(link)) << link;
    EXPECT_TRUE(is_link_entry(entries.at(link))) << link;
  }
  EXPECT_FALSE(is_link_entry(entries.at("target-folder")));
  EXPECT_FALSE(is_link_entry(entries.at("target-file")));
}

// ---- attributes ----

TEST_P(FileSystemTest, HiddenSystemOnAFileReadsBack) {
  write_file(dir.child("f"), "x");
  set(dir.child("f"), kHiddenSystem);

  const std::uint32_t read = attributes(dir.child("f"));
  if (on_wine_disk()) {
    // Wine adds ARCHIVE to every regular file it reports.
    EXPECT_EQ(read & 0x7u, kHiddenSystem) << std::hex << read;
  } else {
    EXPECT_EQ(read, kHiddenSystem) << std::hex << read;
  }
}

TEST_P(FileSystemTest, AFileWithoutBitsReportsNormal) {
  write_file(dir.child("f"), "x");
  set(dir.child("f"), kHiddenSystem);
  set(dir.child("f"), kAttrNormal);

  const std::uint32_t read = attributes(dir.child("f"));
  if (on_wine_disk()) {
    EXPECT_EQ(read & (kServiceBits | kAttrDirectory), 0u) << std::hex << read;
  } else {
    EXPECT_EQ(read, kAttrNormal) << std::hex << read;
  }
}

TEST_P(FileSystemTest, ClearingHiddenSystemKeepsAFilesReadonly) {
  const Path file = dir.child("f");
  write_file(file, "x");
  set(file, kHiddenSystem);
  set(file, kAttrReadonly | kHiddenSystem);
  EXPECT_EQ(attributes(file) & kServiceBits, kServiceBits);

  set(file, attributes(file) & ~kHiddenSystem);

  EXPECT_EQ(attributes(file) & kServiceBits, kAttrReadonly);
  set(file, kAttrNormal);
  EXPECT_EQ(attributes(file) & kServiceBits, 0u);
}

TEST_P(FileSystemTest, AFoldersHiddenSystemBitsAreKept) {
  const Path sub = dir.child("sub");
  create_folder(sub);
  set(sub, attributes(sub) | kHiddenSystem);

  EXPECT_EQ(attributes(sub) & (kHiddenSystem | kAttrDirectory), kHiddenSystem | kAttrDirectory);
}

TEST_P(FileSystemTest, AFoldersReadonlyBitIsKeptAndCleared) {
  if (on_wine_disk()) GTEST_SKIP() << "Wine drops READONLY on folders";
  const Path sub = dir.child("sub");
  create_folder(sub);
  set(sub, attributes(sub) | kAttrReadonly);
  EXPECT_EQ(attributes(sub), kAttrDirectory | kAttrReadonly);

  set(sub, attributes(sub) & ~kAttrReadonly);
  EXPECT_EQ(attributes(sub), kAttrDirectory);
}

// The service writes desktop.ini into folders it has already made read-only.
TEST_P(FileSystemTest, AReadonlyFolderStillTakesNewFiles) {
  const Path sub = dir.child("sub");
  create_folder(sub);
  set(sub, attributes(sub) | kAttrReadonly);

  auto written = write_through_layer(sub.child("new.txt"), "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(stored_content(sub.child("new.txt")), "new");
  EXPECT_TRUE(fs.delete_file(sub.child("new.txt")));
}

TEST_P(FileSystemTest, AttributesOfAMissingPathAreNotFound) {
  auto read = fs.get_attributes(dir.child("missing"));
  ASSERT_FALSE(read);
  EXPECT_TRUE(read.error().is_not_found()) << read.error().message();
  auto changed = fs.set_attributes(dir.child("missing"), kHiddenSystem);
  ASSERT_FALSE(changed);
  EXPECT_TRUE(changed.error().is_not_found()) << changed.error().message();
}

// ---- create_or_truncate, write_all ----

TEST_P(FileSystemTest, CreatesAMissingFileWithEverythingWritten) {
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  {
    auto file = fs.create_or_truncate(dir.child("new"));
    ASSERT_TRUE(file) << file.error().message();
    ASSERT_TRUE((*file)->write_all("head:"));
    ASSERT_TRUE((*file)->write_all(big));
  }
  EXPECT_EQ(stored_content(dir.child("new")), "head:" + big);
}

TEST_P(FileSystemTest, TruncatesAHiddenSystemFile) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "a much longer old content");
  set(ini, kHiddenSystem);

  auto written = write_through_layer(ini, "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(stored_content(ini), "new");
}

TEST_P(FileSystemTest, RefusesToOpenAReadonlyFileForWriting) {
  if (on_wine_disk()) {
    // Wine maps READONLY to the Unix write bits, which its root user's opens ignore, and a
    // Windows process cannot tell whether Wine runs as root.
    GTEST_SKIP() << "Wine: opening a READONLY file for writing succeeds (and truncates) as root";
  }
  write_file(dir.child("f"), "kept");
  set(dir.child("f"), kAttrReadonly);

  auto file = fs.create_or_truncate(dir.child("f"));

  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::AccessDenied) << file.error().message();
  EXPECT_TRUE(file.error().os_code().has_value());
  set(dir.child("f"), kAttrNormal);
  EXPECT_EQ(stored_content(dir.child("f")), "kept");
}

TEST_P(FileSystemTest, CreatingInAMissingFolderIsNotFound) {
  auto file = fs.create_or_truncate(dir.child("missing").child("f"));
  ASSERT_FALSE(file);
  EXPECT_TRUE(file.error().is_not_found()) << file.error().message();
}

// ---- delete_file ----

TEST_P(FileSystemTest, DeletesAReadonlyHiddenSystemFile) {
  write_file(dir.child("f"), "x");
  set(dir.child("f"), kAttrReadonly | kHiddenSystem);

  auto deleted = fs.delete_file(dir.child("f"));

  ASSERT_TRUE(deleted) << deleted.error().message();
  EXPECT_FALSE(stored(dir.child("f")));
}

TEST_P(FileSystemTest, DeletingAMissingFileIsNotFound) {
  auto deleted = fs.delete_file(dir.child("missing"));
  ASSERT_FALSE(deleted);
  EXPECT_TRUE(deleted.error().is_not_found()) << deleted.error().message();
}

// ---- read_file ----

TEST_P(FileSystemTest, ReadsEveryByteAsStored) {
  const std::string bytes(
      "\xEF\xBB\xBF"
      "a\r\nb\0c\xFF",
      9);
  for (const std::string& content : {std::string(), bytes, std::string(200000, 'z')}) {
    write_file(dir.child("f"), content);
    auto read = fs.read_file(dir.child("f"), kWholeFile);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, content);
  }
}

// A file larger than the limit is read only up to it, however the reads fall on the way.
TEST_P(FileSystemTest, ReadingStopsAtTheLimit) {
  const std::string content = std::string(200000, 'z') + "end";
  write_file(dir.child("f"), content);
  for (std::size_t limit : {0, 1, 70000, 200002, 200003, 400000}) {
    auto read = fs.read_file(dir.child("f"), limit);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, content.substr(0, limit)) << limit;
  }
}

TEST_P(FileSystemTest, ReadingWhatIsNotThereIsNotFound) {
  write_file(dir.child("file"), "x");
  for (const char* missing : {"missing", "missing-folder/f", "file/below"}) {
    auto read = fs.read_file(dir.child(missing), kWholeFile);
    ASSERT_FALSE(read) << missing;
    EXPECT_TRUE(read.error().is_not_found()) << missing << ": " << read.error().message();
    EXPECT_TRUE(read.error().os_code().has_value()) << missing;
  }
}

TEST_P(FileSystemTest, ReadingAFolderFailsOtherThanNotFound) {
  create_folder(dir.child("service.log"));
  auto read = fs.read_file(dir.child("service.log"), kWholeFile);
  ASSERT_FALSE(read);
  EXPECT_FALSE(read.error().is_not_found()) << read.error().message();
}

TEST_P(FileSystemTest, ReadingALinkReadsWhatItNames) {
  if (on_wine_disk()) GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing";
  create_folder(dir.child("folder"));
  write_file(dir.child("folder").child("config.txt"), "C:\\");
  ASSERT_TRUE(under_test->make_link(dir.child("folder"), dir.child("to-folder"), true));
  ASSERT_TRUE(
      under_test->make_link(dir.child("folder").child("config.txt"), dir.child("to-file"), false));

  for (const Path& through_link :
       {dir.child("to-file"), dir.child("to-folder").child("config.txt")}) {
    auto read = fs.read_file(through_link, kWholeFile);
    ASSERT_TRUE(read) << through_link.display() << ": " << read.error().message();
    EXPECT_EQ(*read, "C:\\") << through_link.display();
  }
}

// ---- file_type, exists ----

TEST_P(FileSystemTest, TellsFilesFromFolders) {
  write_file(dir.child("file"), "");
  create_folder(dir.child("folder"));

  EXPECT_EQ(*fs.file_type(dir.child("file")), FileType::File);
  EXPECT_EQ(*fs.file_type(dir.child("folder")), FileType::Directory);
  auto missing = fs.file_type(dir.child("missing"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found()) << missing.error().message();
  EXPECT_TRUE(fs.exists(dir.child("file")));
  EXPECT_TRUE(fs.exists(dir.child("folder")));
  EXPECT_FALSE(fs.exists(dir.child("missing")));
}

TEST_P(FileSystemTest, FileTypeFollowsLinks) {
  if (on_wine_disk()) GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing";
  create_folder(dir.child("folder"));
  write_file(dir.child("file"), "x");
  ASSERT_TRUE(under_test->make_link(dir.child("folder"), dir.child("link"), true));
  ASSERT_TRUE(under_test->make_link(dir.child("file"), dir.child("to-file"), false));
  ASSERT_TRUE(under_test->make_link(dir.child("nowhere"), dir.child("dangling"), false));

  EXPECT_EQ(*fs.file_type(dir.child("link")), FileType::Directory);
  EXPECT_EQ(*fs.file_type(dir.child("to-file")), FileType::File);
  auto dangling = fs.file_type(dir.child("dangling"));
  ASSERT_FALSE(dangling);
  EXPECT_TRUE(dangling.error().is_not_found()) << dangling.error().message();
}

// A name that leads back to itself is broken, not missing: the caller must not take it for a
// file or folder that is simply not there.
TEST_P(FileSystemTest, LinksInACircleAreAnErrorNotAMissingName) {
  if (on_wine_disk()) GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing";
  ASSERT_TRUE(under_test->make_link(dir.child("b"), dir.child("a"), true));
  ASSERT_TRUE(under_test->make_link(dir.child("a"), dir.child("b"), true));

  auto folder = fs.open_folder(dir.child("a"));
  ASSERT_FALSE(folder);
  EXPECT_FALSE(folder.error().is_not_found()) << folder.error().message();
  auto type = fs.file_type(dir.child("a"));
  ASSERT_FALSE(type);
  EXPECT_FALSE(type.error().is_not_found()) << type.error().message();
  auto read = fs.read_file(dir.child("a").child("desktop.ini"), kWholeFile);
  ASSERT_FALSE(read);
  EXPECT_FALSE(read.error().is_not_found()) << read.error().message();
}

// ---- create_folders ----

TEST_P(FileSystemTest, CreatesFoldersWithTheirAncestors) {
  const Path deep = dir.child("a").child("b").child("c");

  ASSERT_TRUE(fs.create_folders(deep));
  ASSERT_TRUE(fs.create_folders(deep));

  EXPECT_EQ(*fs.file_type(deep), FileType::Directory);
  EXPECT_EQ(list(dir.child("a")).size(), 1u);
}

TEST_P(FileSystemTest, AFileInTheWayOfCreateFoldersIsAnError) {
  write_file(dir.child("file"), "x");
  EXPECT_FALSE(fs.create_folders(dir.child("file")));
  EXPECT_FALSE(fs.create_folders(dir.child("file").child("below")));
  EXPECT_EQ(stored_content(dir.child("file")), "x");
}

// ---- replace_file ----

TEST_P(FileSystemTest, ReplaceFileSwapsInTheNewContent) {
  write_file(dir.child("service.log"), "old");
  write_file(dir.child("service.log.tmp"), "new");

  ASSERT_TRUE(fs.replace_file(dir.child("service.log.tmp"), dir.child("service.log")));

  EXPECT_EQ(stored_content(dir.child("service.log")), "new");
  EXPECT_FALSE(stored(dir.child("service.log.tmp")));
}

TEST_P(FileSystemTest, ReplaceFileCreatesAMissingTarget) {
  write_file(dir.child("source"), "new");

  ASSERT_TRUE(fs.replace_file(dir.child("source"), dir.child("target")));

  EXPECT_EQ(stored_content(dir.child("target")), "new");
  EXPECT_FALSE(stored(dir.child("source")));
}

// ---- who may change a file or folder ----

TEST_P(FileSystemTest, AFolderMadeForAdministratorsOnlyTheyMayChange) {
  const Path folder = dir.child("ProgramData").child("Tindral");
  auto secured = fs.secure_folder(folder);
  ASSERT_TRUE(secured) << secured.error().message();
  EXPECT_EQ(*secured, Trust::Administrators);
  EXPECT_EQ(*fs.file_type(folder), FileType::Directory);
  EXPECT_EQ(*fs.trust(folder), Trust::Administrators);
  // A file the service writes there is the administrators' too.
  auto file = fs.create_or_truncate(folder.child("paused.flag"));
  ASSERT_TRUE(file);
  file->reset();
  EXPECT_EQ(*fs.trust(folder.child("paused.flag")), Trust::Administrators);
}

TEST_P(FileSystemTest, ALinkInTheFoldersPlaceIsReplacedNotFollowed) {
  if (on_wine_disk()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing, so no link can be made here";
  }
  create_folder(dir.child("elsewhere"));
  write_file(dir.child("elsewhere").child("config.txt"), "C:\\");
  if (!under_test->make_link(dir.child("elsewhere"), dir.child("Tindral"), true)) {
    GTEST_SKIP() << "this system cannot create symbolic links for the test";
  }
  EXPECT_EQ(*fs.trust(dir.child("Tindral")), Trust::Link);
  EXPECT_EQ(*fs.secure_folder(dir.child("Tindral")), Trust::Link);
  EXPECT_EQ(*fs.trust(dir.child("Tindral")), Trust::Administrators);
  EXPECT_FALSE(stored(dir.child("Tindral").child("config.txt")));
  EXPECT_EQ(stored_content(dir.child("elsewhere").child("config.txt")), "C:\\");
}

// ---- folders and files opened as themselves ----

// The handles the walks work through: names are reached relative to an open folder, and what a
// name is comes from the handle, never from a second look at the name.
class OpenFolderTest : public FileSystemTest {
 protected:
  std::unique_ptr<Folder> open_dir() {
    auto folder = fs.open_folder(dir);
    EXPECT_TRUE(folder) << folder.error().message();
    return folder ? std::move(folder).value() : nullptr;
  }

  std::unique_ptr<OpenFile> open_file(Folder& folder, std::string_view name) {
    auto file = folder.open_file(name);
    EXPECT_TRUE(file) << name << ": " << file.error().message();
    return file ? std::move(file).value() : nullptr;
  }
};

INSTANTIATE_TEST_SUITE_P(RealAndFake, OpenFolderTest,
                         testing::ValuesIn(test_support::real_disk_and_fake()),
                         test_support::kind_name);

TEST_P(OpenFolderTest, AFolderReachesTheNamesInItAsWhatTheyAre) {
  create_folder(dir.child("sub"));
  write_file(dir.child("file"), "x");
  std::unique_ptr<Folder> folder = open_dir();
  ASSERT_TRUE(folder);

  auto sub = folder->open_subfolder("sub");
  ASSERT_TRUE(sub) << sub.error().message();
  EXPECT_EQ(folder->open_subfolder("file").error().kind(), ErrorKind::WrongType);
  EXPECT_TRUE(folder->open_subfolder("missing").error().is_not_found());
  EXPECT_TRUE(folder->open_file("missing").error().is_not_found());
  // A folder is refused (Windows) or opens as what it is (POSIX), never as a file to read.
  auto folder_as_file = folder->open_file("sub");
  if (folder_as_file) {
    EXPECT_FALSE((*folder_as_file)->info()->regular);
  } else {
    EXPECT_EQ(folder_as_file.error().kind(), ErrorKind::WrongType);
  }

  // The same folder opened twice is one folder; another is another.
  EXPECT_EQ(*(*open_dir()).id(), *folder->id());
  EXPECT_NE(*(*sub)->id(), *folder->id());
  auto parent = (*sub)->open_parent();
  if (parent) {
    EXPECT_EQ(*(*parent)->id(), *folder->id());
  }

  auto listing = folder->open_listing();
  ASSERT_TRUE(listing) << listing.error().message();
  std::set<std::string> names;
  DirEntry entry;
  while ((*listing)->next(entry).value()) names.insert(entry.name);
  EXPECT_EQ(names, (std::set<std::string>{"file", "sub"}));
}

// What the platform reports is canonicalised before it is compared, as the drivers do.
std::string canonical_final_path(Folder& folder) {
  auto final_path = folder.final_path();
  EXPECT_TRUE(final_path) << final_path.error().message();
  if (!final_path) return {};
  return Path(canonical_path(final_path->bytes(), kPlatformPathStyle).text).display();
}

TEST_P(OpenFolderTest, AFolderTellsWhereItIsWithLinksResolvedAndAfterAMove) {
  create_folder(dir.child("sub"));
  std::unique_ptr<Folder> folder = open_dir();
  ASSERT_TRUE(folder);
  auto sub = folder->open_subfolder("sub");
  ASSERT_TRUE(sub) << sub.error().message();
  EXPECT_EQ(canonical_final_path(*folder), dir.display());
  EXPECT_EQ(canonical_final_path(**sub), dir.child("sub").display());

  if (!on_wine_disk() && under_test->make_link(dir.child("sub"), dir.child("link"), true)) {
    auto through_link = fs.open_folder(dir.child("link"));
    ASSERT_TRUE(through_link) << through_link.error().message();
    EXPECT_EQ(canonical_final_path(**through_link), dir.child("sub").display());
  }

  if (on_wine_disk()) {
    GTEST_SKIP() << "Wine: GetFinalPathNameByHandleW reports the name a folder was opened by, "
                    "not the one it has after a rename (and CreateSymbolicLinkW creates nothing)";
  }
  under_test->rename(dir.child("sub"), dir.child("moved"));
  EXPECT_EQ(canonical_final_path(**sub), dir.child("moved").display());
}

TEST_P(OpenFolderTest, AFileIsReadChangedAndDeletedThroughItsHandle) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "0123456789");
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);

  const OpenFileInfo info = *file->info();
  EXPECT_TRUE(info.regular);
  EXPECT_EQ(info.size, 10u);
  EXPECT_EQ(info.link_count, 1u);
  EXPECT_EQ(*file->read(4), "0123");
  EXPECT_EQ(*file->read(100), "0123456789");

  ASSERT_TRUE(file->set_attributes(kHiddenSystem));
  EXPECT_EQ(attributes(ini) & kServiceBits, kHiddenSystem);
  EXPECT_EQ(*file->attributes() & kServiceBits, kHiddenSystem);
  // A hidden and system file is rewritten in place.
  ASSERT_TRUE(file->truncate());
  ASSERT_TRUE(file->write_all("new"));
  EXPECT_EQ(stored_content(ini), "new");

  ASSERT_TRUE(file->set_attributes(kAttrReadonly | kHiddenSystem));
  auto deleted = file->remove();
  ASSERT_TRUE(deleted) << deleted.error().message();
  file.reset();
  EXPECT_FALSE(stored(ini));
}

TEST_P(OpenFolderTest, AReadonlyFileIsNotTruncated) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "keep");
  set(ini, kAttrReadonly);
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);
  auto truncated = file->truncate();
  if (truncated && on_wine_disk()) {
    GTEST_SKIP() << "Wine: a READONLY file opens for writing when Wine runs as root";
  }
  ASSERT_FALSE(truncated);
  EXPECT_EQ(truncated.error().kind(), ErrorKind::AccessDenied);
  set(ini, kAttrNormal);
  EXPECT_EQ(stored_content(ini), "keep");
}

TEST_P(OpenFolderTest, ANewFileNeverTakesANameThatIsTaken) {
  write_file(dir.child("desktop.ini"), "theirs");
  std::unique_ptr<Folder> folder = open_dir();

  auto taken = folder->create_file("desktop.ini");
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().kind(), ErrorKind::AlreadyExists) << taken.error().message();
  EXPECT_EQ(stored_content(dir.child("desktop.ini")), "theirs");

  auto created = folder->create_file("new.ini");
  ASSERT_TRUE(created) << created.error().message();
  ASSERT_TRUE((*created)->write_all("mine"));
  ASSERT_TRUE((*created)->set_attributes(kHiddenSystem));
  created->reset();
  EXPECT_EQ(stored_content(dir.child("new.ini")), "mine");
  EXPECT_EQ(attributes(dir.child("new.ini")) & kServiceBits, kHiddenSystem);
}

// The calls that let a file appear whole and hidden: created with its attributes, renamed into
// place without replacing anything, or put in the place of the file judged there.
TEST_P(OpenFolderTest, ANewFileIsHiddenFromItsFirstInstantAndRenamedWithoutReplacing) {
  write_file(dir.child("desktop.ini"), "theirs");
  std::unique_ptr<Folder> folder = open_dir();
  auto created = folder->create_file_with_attributes(".new", kHiddenSystem);
  ASSERT_TRUE(created) << created.error().message();
  EXPECT_EQ(attributes(dir.child(".new")) & kServiceBits, kHiddenSystem);
  EXPECT_EQ(folder->create_file_with_attributes(".new", kHiddenSystem).error().kind(),
            ErrorKind::AlreadyExists);
  ASSERT_TRUE((*created)->write_all("mine"));

  auto refused = (*created)->rename_to("desktop.ini");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::AlreadyExists) << refused.error().message();
  EXPECT_EQ(stored_content(dir.child("desktop.ini")), "theirs");

  ASSERT_TRUE((*created)->rename_to("placed.ini"));
  EXPECT_FALSE(stored(dir.child(".new")));
  EXPECT_EQ(stored_content(dir.child("placed.ini")), "mine");
  EXPECT_EQ(attributes(dir.child("placed.ini")) & kServiceBits, kHiddenSystem);
  // The handle follows the file to its new name.
  ASSERT_TRUE((*created)->remove());
  created->reset();
  EXPECT_FALSE(stored(dir.child("placed.ini")));
}

TEST_P(OpenFolderTest, AFileTakesThePlaceOfTheJudgedOneOnlyWhileTheNameHoldsIt) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "old");
  write_file(dir.child(".new"), "new");
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> judged = open_file(*folder, "desktop.ini");
  std::unique_ptr<OpenFile> replacement = open_file(*folder, ".new");
  ASSERT_TRUE(judged && replacement);

  // Somebody else's file in the judged one's place is never replaced.
  under_test->rename(ini, dir.child("moved.ini"));
  write_file(ini, "theirs");
  auto refused = replacement->take_place_of(*judged, ".old");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::WrongType) << refused.error().message();
  EXPECT_EQ(stored_content(ini), "theirs");
  EXPECT_EQ(stored_content(dir.child(".new")), "new");

  // The judged file itself is replaced, and ends where its handle can take it away.
  ASSERT_TRUE(fs.delete_file(ini));
  under_test->rename(dir.child("moved.ini"), ini);
  auto taken = replacement->take_place_of(*judged, ".old");
  ASSERT_TRUE(taken) << taken.error().message();
  EXPECT_EQ(stored_content(ini), "new");
  ASSERT_TRUE(judged->remove());
  judged.reset();
  EXPECT_EQ(list(dir).size(), 1u);
  EXPECT_EQ(stored_content(ini), "new");

  // Windows refuses to replace a read-only file.
  write_file(dir.child(".newer"), "newer");
  set(ini, kAttrReadonly);
  std::unique_ptr<OpenFile> readonly = open_file(*folder, "desktop.ini");
  std::unique_ptr<OpenFile> newer = open_file(*folder, ".newer");
  auto denied = newer->take_place_of(*readonly, ".old");
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().kind(), ErrorKind::AccessDenied) << denied.error().message();
  EXPECT_EQ(stored_content(ini), "new");
  set(ini, kAttrNormal);
}

TEST_P(OpenFolderTest, AFoldersLastWriteTimeIsSetBackThroughItsHandle) {
  under_test->backdate(dir);
  std::unique_ptr<Folder> folder = open_dir();
  const FileTime before = *folder->last_write_time();
  EXPECT_EQ(before, under_test->stored_last_write_time(dir));

  write_file(dir.child("new.txt"), "x");
  ASSERT_NE(under_test->stored_last_write_time(dir), before);
  ASSERT_TRUE(folder->set_last_write_time(before));

  EXPECT_EQ(under_test->stored_last_write_time(dir), before);
  EXPECT_EQ(*folder->last_write_time(), before);
}

// Only READONLY can keep a file from being deleted; a deletion that fails all the same (another
// program holds the file) leaves every attribute as it was, READONLY included.
TEST_P(OpenFolderTest, ADeletionThatFailsLeavesTheAttributesAsTheyWere) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "x");
  set(ini, kAttrReadonly | kHiddenSystem);
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);
  if (!under_test->block_deletion(ini)) {
    GTEST_SKIP() << "running as root: nothing keeps a file from being deleted (the fake covers it)";
  }

  EXPECT_FALSE(file->remove());

  EXPECT_TRUE(stored(ini));
  EXPECT_EQ(attributes(ini) & kServiceBits, kAttrReadonly | kHiddenSystem);
}

// Once the name is taken by another file, a change through the handle reaches the file that was
// opened (Windows) or nothing at all (POSIX, which checks that the name still holds it); never
// the file that now bears the name.
TEST_P(OpenFolderTest, ChangesNeverReachAFileThatTookTheNameSinceTheOpen) {
  const Path ini = dir.child("desktop.ini");
  write_file(ini, "[Tindral]");
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);
  ASSERT_TRUE(fs.replace_file(ini, dir.child("moved.ini")));
  write_file(ini, "theirs");

  if (file->truncate()) static_cast<void>(file->write_all("mine"));
  EXPECT_EQ(stored_content(ini), "theirs");
  if (on_wine_disk()) {
    GTEST_SKIP() << "Wine: a file marked for deletion through a handle is deleted by the name it "
                    "was opened by, whatever file bears that name by then (ReOpenFile likewise "
                    "reopens the name, which the layer checks)";
  }
  static_cast<void>(file->remove());
  file.reset();
  EXPECT_EQ(stored_content(ini), "theirs");
}

TEST_P(OpenFolderTest, LinksAreNeverOpenedAsWhatTheyName) {
  if (on_wine_disk()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing, so no link can be made here";
  }
  create_folder(dir.child("target-folder"));
  write_file(dir.child("target.ini"), "[Tindral]");
  if (!under_test->make_link(dir.child("target-folder"), dir.child("to-folder"), true) ||
      !under_test->make_link(dir.child("target.ini"), dir.child("desktop.ini"), false) ||
      !under_test->make_link(dir.child("nowhere"), dir.child("dangling.ini"), false)) {
    GTEST_SKIP() << "this system cannot create symbolic links for the test";
  }
  std::unique_ptr<Folder> folder = open_dir();

  EXPECT_EQ(folder->open_subfolder("to-folder").error().kind(), ErrorKind::WrongType);
  // A link to a file is refused (POSIX) or opens as itself, a reparse point (Windows).
  auto link = folder->open_file("desktop.ini");
  if (link) {
    EXPECT_FALSE((*link)->info()->regular);
  }
  EXPECT_EQ(folder->create_file("dangling.ini").error().kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(stored_content(dir.child("target.ini")), "[Tindral]");
  EXPECT_FALSE(stored(dir.child("nowhere")));
}

// ---- what only a real disk has ----

// Permissions, other accounts, and another thread's handle that Windows will not rename over.
class RealFileSystemTest : public testing::Test {
 protected:
  FileSystem& fs = real_file_system();
  test_support::TempDir dir;
};

using test_support::read_bytes;
using test_support::write_bytes;

// Windows refuses to rename over a file that is open, whatever its sharing: a reader that holds
// the target for a moment must not make the replacement fail.
TEST_F(RealFileSystemTest, ReplaceFileWaitsForAReaderThatHoldsTheTargetAMoment) {
  write_bytes(dir / "service.log", "old");
  write_bytes(dir / "service.log.tmp", "new");
  auto folder = fs.open_folder(dir.path());
  ASSERT_TRUE(folder);
  auto opened = (*folder)->open_file("service.log");
  ASSERT_TRUE(opened);
  std::unique_ptr<OpenFile> reader = std::move(opened).value();
  std::thread done_reading([&reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reader.reset();
  });

  auto replaced = fs.replace_file(dir / "service.log.tmp", dir / "service.log");
  done_reading.join();

  ASSERT_TRUE(replaced) << replaced.error().message();
  EXPECT_EQ(read_bytes(dir / "service.log"), "new");
}

TEST_F(RealFileSystemTest, AFolderEverybodyMayChangeIsTakenBack) {
  const Path folder = dir / "Tindral";
  test_support::make_folder(folder);
  test_support::open_to_everybody(folder);
  ASSERT_EQ(*fs.trust(folder), Trust::OpenToOthers);

  auto secured = fs.secure_folder(folder);
  ASSERT_TRUE(secured) << secured.error().message();
  EXPECT_EQ(*secured, Trust::OpenToOthers);
  EXPECT_EQ(*fs.trust(folder), Trust::Administrators);
  EXPECT_EQ(*fs.secure_folder(folder), Trust::Administrators);
}

TEST_F(RealFileSystemTest, AFolderOfAnotherAccountIsTakenBack) {
  const Path folder = dir / "Tindral";
  test_support::make_folder(folder);
  if (!test_support::give_to_another_account(folder)) {
    GTEST_SKIP() << (running_under_wine()
                         ? "Wine: setting an owner succeeds and leaves the owner as it was"
                         : "this test may not give a folder to another account");
  }
  ASSERT_EQ(*fs.trust(folder), Trust::OtherOwner);
  EXPECT_EQ(*fs.secure_folder(folder), Trust::OtherOwner);
  EXPECT_EQ(*fs.trust(folder), Trust::Administrators);
}

TEST_F(RealFileSystemTest, TrustTellsFilesOthersCouldHaveWritten) {
  write_bytes(dir / "config.txt", "");
  EXPECT_EQ(*fs.trust(dir / "config.txt"), Trust::Administrators);
  test_support::open_to_everybody(dir / "config.txt");
  EXPECT_EQ(*fs.trust(dir / "config.txt"), Trust::OpenToOthers);
  EXPECT_TRUE(fs.trust(dir / "missing.txt").error().is_not_found());
  write_bytes(dir / "settings.txt", "");
  if (test_support::give_to_another_account(dir / "settings.txt")) {
    EXPECT_EQ(*fs.trust(dir / "settings.txt"), Trust::OtherOwner);
  }
}

}  // namespace
}  // namespace tindral::platform
