#include "canonical_path.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace tindral {
namespace {

using Problem = CanonicalPath::Problem;

struct Case {
  std::string_view path;
  std::string_view canonical;  ///< empty when `problem` is not None
  Problem problem = Problem::None;
};

void expect_cases(PathStyle style, std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    const CanonicalPath got = canonical_path(c.path, style);
    EXPECT_EQ(got.problem, c.problem) << c.path;
    EXPECT_EQ(got.text, c.canonical) << c.path;
  }
}

// Each spelling that reaches a protected folder without naming it plainly.
TEST(CanonicalPathTest, PosixSeparatorsDotsAndDotDotsAreResolved) {
  expect_cases(PathStyle::Posix, {{"/", "/"},
                                  {"/etc", "/etc"},
                                  {"//etc//ssh/", "/etc/ssh"},
                                  {"/./etc/.", "/etc"},
                                  {"/var/lib/Tindral/../../../etc", "/etc"},
                                  {"/..", "/"},
                                  {"/../../usr", "/usr"},
                                  {"/srv/a:b\\c", "/srv/a:b\\c"}});
}

TEST(CanonicalPathTest, PosixRelativePathsAndNulsAreRefused) {
  expect_cases(PathStyle::Posix, {{"", "", Problem::NotAbsolute},
                                  {"etc", "", Problem::NotAbsolute},
                                  {"./etc", "", Problem::NotAbsolute},
                                  {"../../etc", "", Problem::NotAbsolute},
                                  {"C:\\Windows", "", Problem::NotAbsolute},
                                  {std::string_view("/srv\0/etc", 9), "", Problem::NotValid}});
}

TEST(CanonicalPathTest, WindowsDrivePathsTakeEitherSlashAndResolveDots) {
  expect_cases(PathStyle::Windows,
               {{"C:\\Windows", "C:\\Windows"},
                {"C:/Windows", "C:\\Windows"},
                {"c:\\\\Windows\\\\System32\\", "c:\\Windows\\System32"},
                {"C:\\ProgramData\\Tindral\\..\\Microsoft", "C:\\ProgramData\\Microsoft"},
                {"C:\\..\\..\\Windows\\.", "C:\\Windows"},
                {"C:\\", "C:\\"},
                {"D:/", "D:\\"}});
}

TEST(CanonicalPathTest, WindowsPrefixesAndSharesComeBackToThePlainSpelling) {
  expect_cases(PathStyle::Windows,
               {{"\\\\?\\C:\\Windows", "C:\\Windows"},
                {"//?/C:/Windows", "C:\\Windows"},
                {"\\\\.\\C:\\Windows\\..\\Users", "C:\\Users"},
                {"\\\\?\\UNC\\server\\share\\Photos", "\\\\server\\share\\Photos"},
                {"\\\\?\\unc\\server\\share", "\\\\server\\share\\"},
                {"\\\\server\\share\\..\\..\\Photos", "\\\\server\\share\\Photos"},
                {"//server/share//Photos/", "\\\\server\\share\\Photos"}});
}

TEST(CanonicalPathTest, WindowsRelativeSpellingsAreRefused) {
  expect_cases(PathStyle::Windows, {{"", "", Problem::NotAbsolute},
                                    {"Windows", "", Problem::NotAbsolute},
                                    {"..\\Windows", "", Problem::NotAbsolute},
                                    {"C:Windows", "", Problem::NotAbsolute},
                                    {"C:", "", Problem::NotAbsolute},
                                    {"\\Windows", "", Problem::NotAbsolute},
                                    {"\\??\\C:\\Windows", "", Problem::NotAbsolute}});
}

TEST(CanonicalPathTest, WindowsSpellingsOfNoFolderTreeAreRefused) {
  expect_cases(PathStyle::Windows,
               {{"\\\\?\\C:", "", Problem::NotValid},
                {"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\", "", Problem::NotValid},
                {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Windows", "", Problem::NotValid},
                {"\\\\.\\PhysicalDrive0", "", Problem::NotValid},
                {"\\\\server", "", Problem::NotValid},
                {"\\\\server\\", "", Problem::NotValid},
                {"\\\\..\\share", "", Problem::NotValid},
                {"\\\\?\\UNC\\?\\share\\x", "", Problem::NotValid},
                {"C:\\Windows::$INDEX_ALLOCATION", "", Problem::NotValid},
                {"C:\\Data\\notes.txt:hidden", "", Problem::NotValid},
                {std::string_view("C:\\Data\0\\x", 10), "", Problem::NotValid}});
}

}  // namespace
}  // namespace tindral
