// The real file system of whichever platform this is, on a real disk: the same cases must hold
// natively (POSIX emulating the Windows attribute rules), on Windows, and under Wine where Wine
// does not lack the behaviour.

#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "canonical_path.h"
#include "support/listing.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral::platform {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using test_support::read_bytes;
using test_support::running_under_wine;
using test_support::write_bytes;

constexpr std::uint32_t kHiddenSystem = kAttrHidden | kAttrSystem;
// The bits the service itself sets and clears.
constexpr std::uint32_t kServiceBits = kAttrReadonly | kAttrHidden | kAttrSystem;

class FileSystemTest : public testing::Test {
 protected:
  FileSystem& fs = real_file_system();
  test_support::TempDir dir;

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

  Result<void> write_through_layer(const Path& path, std::string_view content) {
    auto file = fs.create_or_truncate(path);
    if (!file) return std::move(file).error();
    return (*file)->write_all(content);
  }
};

bool is_link_entry(const DirEntry& entry) {
  return (entry.attributes & kAttrReparsePoint) != 0 &&
         (entry.reparse_tag & kReparseTagNameSurrogate) != 0;
}

// ---- listing ----

TEST_F(FileSystemTest, ListsEveryEntryOnceWithoutDotEntries) {
  write_bytes(dir / "plain.txt", "x");
  write_bytes(dir / ".hidden-by-name", "");
  test_support::make_folder(dir / "sub");
  test_support::make_folder(dir / "desktop.ini");

  const auto entries = list(dir.path());

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

TEST_F(FileSystemTest, EmptyFolderListsNothing) { EXPECT_TRUE(list(dir.path()).empty()); }

TEST_F(FileSystemTest, NonAsciiNameRoundTripsThroughListingAndRead) {
  const std::string name =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC.txt";
  write_bytes(dir / name, "content");

  const auto entries = list(dir.path());

  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.begin()->first, name);
  auto content = fs.read_file(dir / entries.begin()->first, kWholeFile);
  ASSERT_TRUE(content) << content.error().message();
  EXPECT_EQ(*content, "content");
}

TEST_F(FileSystemTest, OpeningAMissingFolderFails) {
  auto folder = fs.open_folder(dir / "missing");
  ASSERT_FALSE(folder);
  EXPECT_TRUE(folder.error().is_not_found()) << folder.error().message();
}

TEST_F(FileSystemTest, OpeningAFileAsAFolderFails) {
  write_bytes(dir / "file", "x");
  EXPECT_FALSE(fs.open_folder(dir / "file"));
}

TEST_F(FileSystemTest, SymbolicLinksAreListedAsLinkEntries) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine: a Unix symlink to a folder is listed with tag 0, and "
                    "CreateSymbolicLinkW creates nothing";
  }
  test_support::make_folder(dir / "target-folder");
  write_bytes(dir / "target-file", "x");
  ASSERT_TRUE(test_support::make_symlink(dir / "target-folder", dir / "to-folder", true));
  ASSERT_TRUE(test_support::make_symlink(dir / "target-file", dir / "to-file", false));
  ASSERT_TRUE(test_support::make_symlink(dir / "nowhere", dir / "dangling", false));

  const auto entries = list(dir.path());

  ASSERT_EQ(entries.size(), 5u);
  for (const char* link : {"to-folder", "to-file", "dangling"}) {
    ASSERT_TRUE(entries.contains(link)) << link;
    EXPECT_TRUE(is_link_entry(entries.at(link))) << link;
  }
  EXPECT_FALSE(is_link_entry(entries.at("target-folder")));
  EXPECT_FALSE(is_link_entry(entries.at("target-file")));
}

// ---- attributes ----

TEST_F(FileSystemTest, HiddenSystemOnAFileReadsBack) {
  write_bytes(dir / "f", "x");
  set(dir / "f", kHiddenSystem);

  const std::uint32_t read = attributes(dir / "f");
  if (running_under_wine()) {
    // Wine adds ARCHIVE to every regular file it reports.
    EXPECT_EQ(read & 0x7u, kHiddenSystem) << std::hex << read;
  } else {
    EXPECT_EQ(read, kHiddenSystem) << std::hex << read;
  }
}

TEST_F(FileSystemTest, AFileWithoutBitsReportsNormal) {
  write_bytes(dir / "f", "x");
  set(dir / "f", kHiddenSystem);
  set(dir / "f", kAttrNormal);

  const std::uint32_t read = attributes(dir / "f");
  if (running_under_wine()) {
    EXPECT_EQ(read & (kServiceBits | kAttrDirectory), 0u) << std::hex << read;
  } else {
    EXPECT_EQ(read, kAttrNormal) << std::hex << read;
  }
}

TEST_F(FileSystemTest, ClearingHiddenSystemKeepsAFilesReadonly) {
  write_bytes(dir / "f", "x");
  set(dir / "f", kHiddenSystem);
  set(dir / "f", kAttrReadonly | kHiddenSystem);
  EXPECT_EQ(attributes(dir / "f") & kServiceBits, kServiceBits);

  set(dir / "f", attributes(dir / "f") & ~kHiddenSystem);

  EXPECT_EQ(attributes(dir / "f") & kServiceBits, kAttrReadonly);
  set(dir / "f", kAttrNormal);
  EXPECT_EQ(attributes(dir / "f") & kServiceBits, 0u);
}

TEST_F(FileSystemTest, AFoldersHiddenSystemBitsAreKept) {
  test_support::make_folder(dir / "sub");
  set(dir / "sub", attributes(dir / "sub") | kHiddenSystem);

  EXPECT_EQ(attributes(dir / "sub") & (kHiddenSystem | kAttrDirectory),
            kHiddenSystem | kAttrDirectory);
}

TEST_F(FileSystemTest, AFoldersReadonlyBitIsKeptAndCleared) {
  if (running_under_wine()) GTEST_SKIP() << "Wine drops READONLY on folders";
  test_support::make_folder(dir / "sub");
  set(dir / "sub", attributes(dir / "sub") | kAttrReadonly);
  EXPECT_EQ(attributes(dir / "sub"), kAttrDirectory | kAttrReadonly);

  set(dir / "sub", attributes(dir / "sub") & ~kAttrReadonly);
  EXPECT_EQ(attributes(dir / "sub"), kAttrDirectory);
}

// The service writes desktop.ini into folders it has already made read-only.
TEST_F(FileSystemTest, AReadonlyFolderStillTakesNewFiles) {
  test_support::make_folder(dir / "sub");
  set(dir / "sub", attributes(dir / "sub") | kAttrReadonly);

  auto written = write_through_layer((dir / "sub").child("new.txt"), "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(read_bytes((dir / "sub").child("new.txt")), "new");
  EXPECT_TRUE(fs.delete_file((dir / "sub").child("new.txt")));
}

TEST_F(FileSystemTest, AttributesOfAMissingPathAreNotFound) {
  auto read = fs.get_attributes(dir / "missing");
  ASSERT_FALSE(read);
  EXPECT_TRUE(read.error().is_not_found()) << read.error().message();
  auto changed = fs.set_attributes(dir / "missing", kHiddenSystem);
  ASSERT_FALSE(changed);
  EXPECT_TRUE(changed.error().is_not_found()) << changed.error().message();
}

// ---- create_or_truncate, write_all ----

TEST_F(FileSystemTest, CreatesAMissingFileWithEverythingWritten) {
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  {
    auto file = fs.create_or_truncate(dir / "new");
    ASSERT_TRUE(file) << file.error().message();
    ASSERT_TRUE((*file)->write_all("head:"));
    ASSERT_TRUE((*file)->write_all(big));
  }
  EXPECT_EQ(read_bytes(dir / "new"), "head:" + big);
}

TEST_F(FileSystemTest, TruncatesAHiddenSystemFile) {
  write_bytes(dir / "desktop.ini", "a much longer old content");
  set(dir / "desktop.ini", kHiddenSystem);

  auto written = write_through_layer(dir / "desktop.ini", "new");

  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "new");
}

TEST_F(FileSystemTest, RefusesToOpenAReadonlyFileForWriting) {
  if (running_under_wine()) {
    // Wine maps READONLY to the Unix write bits, which its root user's opens ignore, and a
    // Windows process cannot tell whether Wine runs as root.
    GTEST_SKIP() << "Wine: opening a READONLY file for writing succeeds (and truncates) as root";
  }
  write_bytes(dir / "f", "kept");
  set(dir / "f", kAttrReadonly);

  auto file = fs.create_or_truncate(dir / "f");

  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::AccessDenied) << file.error().message();
  EXPECT_TRUE(file.error().os_code().has_value());
  set(dir / "f", kAttrNormal);
  EXPECT_EQ(read_bytes(dir / "f"), "kept");
}

TEST_F(FileSystemTest, CreatingInAMissingFolderIsNotFound) {
  auto file = fs.create_or_truncate((dir / "missing").child("f"));
  ASSERT_FALSE(file);
  EXPECT_TRUE(file.error().is_not_found()) << file.error().message();
}

// ---- delete_file ----

TEST_F(FileSystemTest, DeletesAReadonlyHiddenSystemFile) {
  write_bytes(dir / "f", "x");
  set(dir / "f", kAttrReadonly | kHiddenSystem);

  auto deleted = fs.delete_file(dir / "f");

  ASSERT_TRUE(deleted) << deleted.error().message();
  EXPECT_FALSE(test_support::path_exists(dir / "f"));
}

TEST_F(FileSystemTest, DeletingAMissingFileIsNotFound) {
  auto deleted = fs.delete_file(dir / "missing");
  ASSERT_FALSE(deleted);
  EXPECT_TRUE(deleted.error().is_not_found()) << deleted.error().message();
}

// ---- read_file ----

TEST_F(FileSystemTest, ReadsEveryByteAsStored) {
  const std::string bytes(
      "\xEF\xBB\xBF"
      "a\r\nb\0c\xFF",
      9);
  for (const std::string& content : {std::string(), bytes, std::string(200000, 'z')}) {
    write_bytes(dir / "f", content);
    auto read = fs.read_file(dir / "f", kWholeFile);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, content);
  }
}

// A file larger than the limit is read only up to it, however the reads fall on the way.
TEST_F(FileSystemTest, ReadingStopsAtTheLimit) {
  const std::string content = std::string(200000, 'z') + "end";
  write_bytes(dir / "f", content);
  for (std::size_t limit : {0, 1, 70000, 200002, 200003, 400000}) {
    auto read = fs.read_file(dir / "f", limit);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, content.substr(0, limit)) << limit;
  }
}

TEST_F(FileSystemTest, ReadingWhatIsNotThereIsNotFound) {
  write_bytes(dir / "file", "x");
  for (const char* missing : {"missing", "missing-folder/f", "file/below"}) {
    auto read = fs.read_file(dir.path().child(missing), kWholeFile);
    ASSERT_FALSE(read) << missing;
    EXPECT_TRUE(read.error().is_not_found()) << missing << ": " << read.error().message();
    EXPECT_TRUE(read.error().os_code().has_value()) << missing;
  }
}

TEST_F(FileSystemTest, ReadingAFolderFailsOtherThanNotFound) {
  test_support::make_folder(dir / "service.log");
  auto read = fs.read_file(dir / "service.log", kWholeFile);
  ASSERT_FALSE(read);
  EXPECT_FALSE(read.error().is_not_found()) << read.error().message();
}

// ---- file_type, exists ----

TEST_F(FileSystemTest, TellsFilesFromFolders) {
  write_bytes(dir / "file", "");
  test_support::make_folder(dir / "folder");

  EXPECT_EQ(*fs.file_type(dir / "file"), FileType::File);
  EXPECT_EQ(*fs.file_type(dir / "folder"), FileType::Directory);
  auto missing = fs.file_type(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is_not_found()) << missing.error().message();
  EXPECT_TRUE(fs.exists(dir / "file"));
  EXPECT_TRUE(fs.exists(dir / "folder"));
  EXPECT_FALSE(fs.exists(dir / "missing"));
}

TEST_F(FileSystemTest, FileTypeFollowsLinks) {
  if (running_under_wine()) GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing";
  test_support::make_folder(dir / "folder");
  ASSERT_TRUE(test_support::make_symlink(dir / "folder", dir / "link", true));

  EXPECT_EQ(*fs.file_type(dir / "link"), FileType::Directory);
}

// ---- create_folders ----

TEST_F(FileSystemTest, CreatesFoldersWithTheirAncestors) {
  const Path deep = (dir / "a").child("b").child("c");

  ASSERT_TRUE(fs.create_folders(deep));
  ASSERT_TRUE(fs.create_folders(deep));

  EXPECT_EQ(*fs.file_type(deep), FileType::Directory);
  EXPECT_EQ(list(dir / "a").size(), 1u);
}

TEST_F(FileSystemTest, AFileInTheWayOfCreateFoldersIsAnError) {
  write_bytes(dir / "file", "x");
  EXPECT_FALSE(fs.create_folders(dir / "file"));
  EXPECT_FALSE(fs.create_folders((dir / "file").child("below")));
  EXPECT_EQ(read_bytes(dir / "file"), "x");
}

// ---- replace_file ----

TEST_F(FileSystemTest, ReplaceFileSwapsInTheNewContent) {
  write_bytes(dir / "service.log", "old");
  write_bytes(dir / "service.log.tmp", "new");

  ASSERT_TRUE(fs.replace_file(dir / "service.log.tmp", dir / "service.log"));

  EXPECT_EQ(read_bytes(dir / "service.log"), "new");
  EXPECT_FALSE(test_support::path_exists(dir / "service.log.tmp"));
}

TEST_F(FileSystemTest, ReplaceFileCreatesAMissingTarget) {
  write_bytes(dir / "source", "new");

  ASSERT_TRUE(fs.replace_file(dir / "source", dir / "target"));

  EXPECT_EQ(read_bytes(dir / "target"), "new");
  EXPECT_FALSE(test_support::path_exists(dir / "source"));
}

// Windows refuses to rename over a file that is open, whatever its sharing: a reader that holds
// the target for a moment must not make the replacement fail.
TEST_F(FileSystemTest, ReplaceFileWaitsForAReaderThatHoldsTheTargetAMoment) {
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

// ---- who may change a file or folder ----

TEST_F(FileSystemTest, AFolderMadeForAdministratorsOnlyTheyMayChange) {
  const Path folder = (dir / "ProgramData").child("Tindral");
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

TEST_F(FileSystemTest, AFolderEverybodyMayChangeIsTakenBack) {
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

TEST_F(FileSystemTest, AFolderOfAnotherAccountIsTakenBack) {
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

TEST_F(FileSystemTest, ALinkInTheFoldersPlaceIsReplacedNotFollowed) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing, so no link can be made here";
  }
  test_support::make_folder(dir / "elsewhere");
  write_bytes((dir / "elsewhere").child("config.txt"), "C:\\");
  if (!test_support::make_symlink(dir / "elsewhere", dir / "Tindral", true)) {
    GTEST_SKIP() << "this system cannot create symbolic links for the test";
  }
  EXPECT_EQ(*fs.trust(dir / "Tindral"), Trust::Link);
  EXPECT_EQ(*fs.secure_folder(dir / "Tindral"), Trust::Link);
  EXPECT_EQ(*fs.trust(dir / "Tindral"), Trust::Administrators);
  EXPECT_FALSE(test_support::path_exists((dir / "Tindral").child("config.txt")));
  EXPECT_EQ(read_bytes((dir / "elsewhere").child("config.txt")), "C:\\");
}

TEST_F(FileSystemTest, TrustTellsFilesOthersCouldHaveWritten) {
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

// ---- folders and files opened as themselves ----

// The handles the walks work through: names are reached relative to an open folder, and what a
// name is comes from the handle, never from a second look at the name.
class OpenFolderTest : public FileSystemTest {
 protected:
  std::unique_ptr<Folder> open_dir() {
    auto folder = fs.open_folder(dir.path());
    EXPECT_TRUE(folder) << folder.error().message();
    return folder ? std::move(folder).value() : nullptr;
  }

  std::unique_ptr<OpenFile> open_file(Folder& folder, std::string_view name) {
    auto file = folder.open_file(name);
    EXPECT_TRUE(file) << name << ": " << file.error().message();
    return file ? std::move(file).value() : nullptr;
  }
};

TEST_F(OpenFolderTest, AFolderReachesTheNamesInItAsWhatTheyAre) {
  test_support::make_folder(dir / "sub");
  write_bytes(dir / "file", "x");
  std::unique_ptr<Folder> folder = open_dir();
  ASSERT_TRUE(folder);

  auto sub = folder->open_subfolder("sub");
  ASSERT_TRUE(sub) << sub.error().message();
  EXPECT_EQ(folder->open_subfolder("file").error().kind(), ErrorKind::WrongType);
  EXPECT_TRUE(folder->open_subfolder("missing").error().is_not_found());
  EXPECT_TRUE(folder->open_file("missing").error().is_not_found());

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

TEST_F(OpenFolderTest, AFolderTellsWhereItIsWithLinksResolvedAndAfterAMove) {
  test_support::make_folder(dir / "sub");
  std::unique_ptr<Folder> folder = open_dir();
  ASSERT_TRUE(folder);
  auto sub = folder->open_subfolder("sub");
  ASSERT_TRUE(sub) << sub.error().message();
  EXPECT_EQ(canonical_final_path(*folder), dir.path().display());
  EXPECT_EQ(canonical_final_path(**sub), (dir / "sub").display());

  if (!test_support::running_under_wine() &&
      test_support::make_symlink(dir / "sub", dir / "link", true)) {
    auto through_link = fs.open_folder(dir / "link");
    ASSERT_TRUE(through_link) << through_link.error().message();
    EXPECT_EQ(canonical_final_path(**through_link), (dir / "sub").display());
  }

  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: GetFinalPathNameByHandleW reports the name a folder was opened by, "
                    "not the one it has after a rename (and CreateSymbolicLinkW creates nothing)";
  }
  ASSERT_EQ(std::rename((dir / "sub").bytes().c_str(), (dir / "moved").bytes().c_str()), 0);
  EXPECT_EQ(canonical_final_path(**sub), (dir / "moved").display());
}

TEST_F(OpenFolderTest, AFileIsReadChangedAndDeletedThroughItsHandle) {
  write_bytes(dir / "desktop.ini", "0123456789");
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
  EXPECT_EQ(attributes(dir / "desktop.ini") & kServiceBits, kHiddenSystem);
  EXPECT_EQ(*file->attributes() & kServiceBits, kHiddenSystem);
  // A hidden and system file is rewritten in place.
  ASSERT_TRUE(file->truncate());
  ASSERT_TRUE(file->write_all("new"));
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "new");

  ASSERT_TRUE(file->set_attributes(kAttrReadonly | kHiddenSystem));
  auto deleted = file->remove();
  ASSERT_TRUE(deleted) << deleted.error().message();
  file.reset();
  EXPECT_FALSE(test_support::path_exists(dir / "desktop.ini"));
}

TEST_F(OpenFolderTest, AReadonlyFileIsNotTruncated) {
  write_bytes(dir / "desktop.ini", "keep");
  set(dir / "desktop.ini", kAttrReadonly);
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);
  auto truncated = file->truncate();
  if (truncated && running_under_wine()) {
    GTEST_SKIP() << "Wine: a READONLY file opens for writing when Wine runs as root";
  }
  ASSERT_FALSE(truncated);
  EXPECT_EQ(truncated.error().kind(), ErrorKind::AccessDenied);
  set(dir / "desktop.ini", kAttrNormal);
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "keep");
}

TEST_F(OpenFolderTest, ANewFileNeverTakesANameThatIsTaken) {
  write_bytes(dir / "desktop.ini", "theirs");
  std::unique_ptr<Folder> folder = open_dir();

  auto taken = folder->create_file("desktop.ini");
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().kind(), ErrorKind::AlreadyExists) << taken.error().message();
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "theirs");

  auto created = folder->create_file("new.ini");
  ASSERT_TRUE(created) << created.error().message();
  ASSERT_TRUE((*created)->write_all("mine"));
  ASSERT_TRUE((*created)->set_attributes(kHiddenSystem));
  created->reset();
  EXPECT_EQ(read_bytes(dir / "new.ini"), "mine");
  EXPECT_EQ(attributes(dir / "new.ini") & kServiceBits, kHiddenSystem);
}

// Once the name is taken by another file, a change through the handle reaches the file that was
// opened (Windows) or nothing at all (POSIX, which checks that the name still holds it); never
// the file that now bears the name.
TEST_F(OpenFolderTest, ChangesNeverReachAFileThatTookTheNameSinceTheOpen) {
  write_bytes(dir / "desktop.ini", "[Tindral]");
  std::unique_ptr<Folder> folder = open_dir();
  std::unique_ptr<OpenFile> file = open_file(*folder, "desktop.ini");
  ASSERT_TRUE(file);
  ASSERT_TRUE(fs.replace_file(dir / "desktop.ini", dir / "moved.ini"));
  write_bytes(dir / "desktop.ini", "theirs");

  if (file->truncate()) static_cast<void>(file->write_all("mine"));
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "theirs");
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine: a file marked for deletion through a handle is deleted by the name it "
                    "was opened by, whatever file bears that name by then (ReOpenFile likewise "
                    "reopens the name, which the layer checks)";
  }
  static_cast<void>(file->remove());
  file.reset();
  EXPECT_EQ(read_bytes(dir / "desktop.ini"), "theirs");
}

TEST_F(OpenFolderTest, LinksAreNeverOpenedAsWhatTheyName) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW creates nothing, so no link can be made here";
  }
  test_support::make_folder(dir / "target-folder");
  write_bytes(dir / "target.ini", "[Tindral]");
  if (!test_support::make_symlink(dir / "target-folder", dir / "to-folder", true) ||
      !test_support::make_symlink(dir / "target.ini", dir / "desktop.ini", false) ||
      !test_support::make_symlink(dir / "nowhere", dir / "dangling.ini", false)) {
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
  EXPECT_EQ(read_bytes(dir / "target.ini"), "[Tindral]");
  EXPECT_FALSE(test_support::path_exists(dir / "nowhere"));
}

}  // namespace
}  // namespace tindral::platform
