// Whether two roots are one folder tree, or one lies inside the other, in every spelling that
// reaches the same folder, for both platforms' rules on every platform.

#include "root_overlap.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "canonical_path.h"

namespace tindral {
namespace {

constexpr PathStyle kWindows = PathStyle::Windows;
constexpr PathStyle kPosix = PathStyle::Posix;

// What the service compares: the line as canonical_path leaves it.
std::string canonical(std::string_view spelled, PathStyle style) {
  CanonicalPath path = canonical_path(spelled, style);
  EXPECT_EQ(path.problem, CanonicalPath::Problem::None) << spelled;
  return path.text;
}

TEST(RootOverlapTest, SpellingsOfOneFolderAreOneRootAndNestingIsSeen) {
  struct Case {
    PathStyle style;
    const char* root;
    const char* other;
    RootOverlap expected;
  };
  const Case cases[] = {
      // Windows: letter case, either separator, a trailing separator, the verbatim prefix.
      {kWindows, "C:\\Data", "c:\\data", RootOverlap::Same},
      {kWindows, "c:\\DATA\\", "\\\\?\\C:\\Data", RootOverlap::Same},
      {kWindows, "\\\\Server\\Share\\Docs", "\\\\server\\SHARE\\docs\\", RootOverlap::Same},
      {kWindows, "C:\\\xC3\x84rger", "c:\\\xC3\xA4RGER", RootOverlap::Same},  // Ä and ä
      {kWindows, "C:\\Data\\c", "c:/data/", RootOverlap::Inside},
      {kWindows, "C:\\Data", "C:\\DATA\\C\\", RootOverlap::Encloses},
      {kWindows, "\\\\server\\share\\x", "\\\\SERVER\\share", RootOverlap::Inside},
      {kWindows, "C:\\Data", "C:\\Database", RootOverlap::Apart},
      // One-to-one mappings only, as the file system compares: "ß" is no "SS".
      {kWindows,
       "C:\\Stra\xC3\x9F"
       "e",
       "C:\\STRASSE", RootOverlap::Apart},
      // Natively byte for byte after canonicalisation.
      {kPosix, "/data", "/data/", RootOverlap::Same},
      {kPosix, "/data/c", "/data/x/../", RootOverlap::Inside},
      {kPosix, "/data", "/Data", RootOverlap::Apart},
      {kPosix, "/data", "/database", RootOverlap::Apart},
      // A backslash is part of a name there.
      {kPosix, "/data\\c", "/data", RootOverlap::Apart},
      {kPosix, "/data\\c", "/data/c", RootOverlap::Apart},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(root_overlap(canonical(c.root, c.style), canonical(c.other, c.style), c.style),
              c.expected)
        << c.root << " and " << c.other;
  }
}

// Each folder is walked once whatever the order of the lines: by the first listing of the
// outermost root around it.
TEST(RootOverlapTest, EveryRootIsTakenInByTheOutermostFirstListedRootAroundIt) {
  struct Case {
    PathStyle style;
    std::vector<std::string> roots;
    std::vector<std::optional<std::size_t>> expected;
  };
  const std::optional<std::size_t> walked;
  const Case cases[] = {
      {kPosix, {"/a", "/a/b"}, {walked, 0}},
      {kPosix, {"/a/b", "/a"}, {1, walked}},
      {kPosix, {"/a/b/c", "/a/b", "/a", "/a"}, {2, 2, walked, 2}},
      {kPosix, {"/a/b", "/a/c", "/A/b", "/ab"}, {walked, walked, walked, walked}},
      {kWindows, {"C:\\Data\\c", "c:\\DATA", "C:\\Data", "D:\\Data"}, {1, walked, 1, walked}},
      {kWindows, {"\\\\srv\\share\\x", "\\\\SRV\\Share\\"}, {1, walked}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> roots;
    for (const std::string& root : c.roots) roots.push_back(canonical(root, c.style));
    EXPECT_EQ(covering_roots(roots, c.style), c.expected) << testing::PrintToString(c.roots);
  }
}

}  // namespace
}  // namespace tindral
