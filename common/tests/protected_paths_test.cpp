#include "protected_paths.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system_folders.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

// A standard Windows installation, lower-cased as the environment gives it.
const ProtectedDirs kWindowsDirs{"c:\\windows", "c:\\program files", "c:\\program files (x86)",
                                 "c:\\programdata"};

struct TextCase {
  std::string_view path;
  bool is_protected;
};

void expect_cases(const ProtectedDirs& dirs, char separator,
                  std::initializer_list<TextCase> cases) {
  for (const TextCase& c : cases) {
    EXPECT_EQ(is_protected_text(c.path, dirs, separator), c.is_protected) << c.path;
  }
}

TEST(ProtectedPathsTest, WindowsFolderByPrefixIgnoringCase) {
  expect_cases(kWindowsDirs, '\\',
               {{"C:\\Windows", true},
                {"C:\\WINDOWS\\Temp", true},
                {"c:\\windows\\", true},
                {"C:\\Windows.old", true},
                {"D:\\Windows", false}});
}

TEST(ProtectedPathsTest, ProgramFoldersByPlainPrefix) {
  expect_cases(kWindowsDirs, '\\',
               {{"C:\\Program Files\\App", true},
                {"C:\\Program Files (x86)\\App", true},
                {"C:\\Program Filesystem", true},
                {"C:\\Programs", false}});
}

TEST(ProtectedPathsTest, SystemLibraryFoldersAnywhereNeedSeparatorsOnBothSides) {
  expect_cases(kWindowsDirs, '\\',
               {{"D:\\Backup\\Windows\\System32\\drivers", true},
                {"D:\\Backup\\Windows\\System32", false},
                {"D:\\Backup\\Windows\\System32\\", true},
                {"D:\\Old\\SysWOW64\\x", true},
                {"D:\\Old\\SysWOW64", false},
                {"D:\\MySystem32\\x", false},
                {"D:\\MySystem32\\System32\\x", true},
                {"System32\\x", false},
                {"\\System32\\x", true}});
}

TEST(ProtectedPathsTest, ProgramDataExceptTheServicesOwnFolder) {
  expect_cases(kWindowsDirs, '\\',
               {{"C:\\ProgramData", true},
                {"C:\\ProgramData\\Vendor\\Cache", true},
                {"C:\\ProgramData\\Tindral", false},
                {"C:\\ProgramData\\Tindral\\Logs", false},
                {"C:\\ProgramData\\Other\\Tindral-copy", false},
                {"C:\\ProgramDataTindral", true},
                {"C:\\ProgramData\\NoTindral\\Tindral", false}});
}

TEST(ProtectedPathsTest, EarlierRulesWinOverTheDataFolderException) {
  expect_cases(kWindowsDirs, '\\',
               {{"C:\\Windows\\Tindral", true},
                {"C:\\ProgramData\\Tindral\\System32\\x", true},
                {"D:\\Tindral\\SysWOW64\\x", true}});
}

TEST(ProtectedPathsTest, OrdinaryFoldersAreNotProtected) {
  expect_cases(kWindowsDirs, '\\',
               {{"D:\\Data", false}, {"C:\\Users\\Public\\Documents", false}, {"", false}});
}

TEST(ProtectedPathsTest, OtherSpellingsAreNotResolved) {
  expect_cases(kWindowsDirs, '\\',
               {{"C:/Windows", false},
                {"C:/Windows\\System32\\drivers", true},
                {"\\\\?\\C:\\Windows", false},
                {"C:\\PROGRA~1\\App", false}});
}

TEST(ProtectedPathsTest, LowerCasingCoversAllOfUnicode) {
  const ProtectedDirs dirs{"", "d:\\\xC3\xA4pps \xCF\x83", "", ""};  // "d:\äpps σ"
  expect_cases(dirs, '\\',
               {{"D:\\\xC3\x84PPS \xCE\xA3\\Tool", true},  // "D:\ÄPPS Σ\Tool"
                {"D:\\APPS", false}});
  // Text beyond ASCII is lower-cased in full, its ASCII letters included.
  expect_cases(kWindowsDirs, '\\',
               {{"C:\\WINDOWS\\\xC3\x84", true},  // "C:\WINDOWS\Ä"
                {"X:\\\xC3\x84\\SYSTEM32\\x", true}});
}

TEST(ProtectedPathsTest, UnsetVariablesLeaveOnlyTheirRulesOut) {
  const ProtectedDirs without_x86{"c:\\windows", "", "", "c:\\programdata"};
  expect_cases(without_x86, '\\',
               {{"C:\\Program Files (x86)\\App", false}, {"C:\\Windows\\Temp", true}});

  const ProtectedDirs only_x86{"", "", "c:\\program files (x86)", ""};
  expect_cases(only_x86, '\\', {{"C:\\Program Files (x86)\\App", true}});

  expect_cases(ProtectedDirs{}, '\\',
               {{"C:\\Windows", false},
                {"C:\\Program Files\\App", false},
                {"C:\\ProgramData\\Vendor", false},
                {"D:\\Backup\\System32\\drivers", true},
                {"D:\\Old\\SysWOW64\\x", true}});
}

TEST(ProtectedPathsTest, ForwardSlashSeparatorFormsTheFragments) {
  const ProtectedDirs posix_dirs{"", "", "", "/var/lib"};
  expect_cases(posix_dirs, '/',
               {{"/var/lib", true},
                {"/var/lib/postgresql", true},
                {"/var/lib/tindral", false},
                {"/var/lib/Tindral/logs", false},
                {"/x/System32/y", true},
                {"/x/System32", false},
                {"/x/SYSWOW64/y", true},
                {"/x\\System32\\y", false},
                {"/srv/data", false}});
}

// The native system folders as folders, not prefixes, and the data folder below /var let
// through as exactly itself.
TEST(ProtectedPathsTest, SystemFoldersHoldEverythingBelowThemExceptTheDataFolder) {
  const ProtectedDirs posix_dirs{"", "", "", "", {"/etc", "/usr", "/var"}, "/var/lib/tindral"};
  expect_cases(posix_dirs, '/',
               {{"/etc", true},
                {"/ETC/ssh", true},
                {"/usr/share/doc", true},
                {"/var/cache/apt", true},
                {"/etcetera", false},
                {"/usrdata/x", false},
                {"/srv/etc", false},
                {"/", false},
                {"/home/user", false},
                {"/var/lib/tindral", false},
                {"/var/lib/Tindral/logs", false},
                {"/var/lib/tindral-old", true},
                {"/var/lib/postgresql/tindral", true},
                {"/var/lib/tindral/x/System32/y", true}});
}

TEST(ProtectedPathsTest, ThePlatformsSystemFoldersAreProtected) {
  for (std::string_view folder : platform::protected_system_folders()) {
    const Path path{std::string(folder)};
    EXPECT_TRUE(is_protected_path(path)) << folder;
    EXPECT_TRUE(is_protected_path(path.child("x"))) << folder;
  }
}

// A walk from "C:\" or "/" must not double the separator before the first names.
TEST(ProtectedPathsTest, WalkFromARootThatEndsInItsSeparator) {
  ProtectedPathWalk windows("C:\\", kWindowsDirs, '\\');
  EXPECT_TRUE(windows.is_protected_child("Windows"));
  EXPECT_TRUE(windows.is_protected_child("Program Files"));
  EXPECT_FALSE(windows.is_protected_child("Users"));

  const ProtectedDirs posix_dirs{"", "", "", "", {"/etc"}, ""};
  ProtectedPathWalk posix("/", posix_dirs, '/');
  EXPECT_TRUE(posix.is_protected_child("etc"));
  EXPECT_FALSE(posix.is_protected_child("home"));
  posix.enter("home");
  EXPECT_FALSE(posix.is_protected_child("etc"));
}

TEST(ProtectedPathsTest, DirsComeFromTheEnvironmentLowerCased) {
  test_support::ScopedEnv system_root("SystemRoot", "C:\\WINDOWS");
  test_support::ScopedEnv program_files("ProgramFiles", "D:\\\xC3\x84pps");  // "D:\Äpps"
  test_support::ScopedEnv program_files_x86("ProgramFiles(x86)", std::nullopt);
  test_support::ScopedEnv program_data("ProgramData", "C:\\ProgramData\\");
  const ProtectedDirs dirs = protected_dirs_from_environment();
  EXPECT_EQ(dirs.system_root, "c:\\windows");
  EXPECT_EQ(dirs.program_files, "d:\\\xC3\xA4pps");
  EXPECT_EQ(dirs.program_files_x86, "");
  EXPECT_EQ(dirs.program_data, "c:\\programdata\\");
}

TEST(ProtectedPathsTest, PathsUseThePlatformSeparatorInTheFragments) {
  const Path backup = Path::from_text("Backup").child("System32");
  EXPECT_FALSE(is_protected_path(backup));
  EXPECT_TRUE(is_protected_path(backup.child("drivers")));
}

TEST(ProtectedPathsTest, EnvironmentIsReadOnceForTheProcess) {
  const Path moved = Path::from_text("Q:").child("Moved Windows");
  EXPECT_FALSE(is_protected_path(moved));
  test_support::ScopedEnv system_root("SystemRoot", moved.display());
  EXPECT_FALSE(is_protected_path(moved.child("Temp")));
}

}  // namespace
}  // namespace tindral
