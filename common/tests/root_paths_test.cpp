#include "config/root_paths.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "log.h"
#include "log_targets.h"
#include "platform/file_system.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

using test_support::LogEvent;
using test_support::ScopedEnv;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr char kSep = platform::kSeparator;

std::optional<InteractiveUser> nobody() { return std::nullopt; }

class RootPathsTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const Path& folder : {a_, b_, hash_}) test_support::make_folder(folder);
    test_support::write_bytes(file_, "not a folder");
  }

  Result<RootPathList> load(std::string_view content,
                            const InteractiveUserLookup& lookup = nobody) {
    test_support::write_bytes(config_, content);
    return load_root_paths(platform::real_file_system(), config_, lookup);
  }

  test_support::TempDir dir_;
  const Path config_ = dir_ / "config.txt";
  const Path a_ = dir_ / "A";
  const Path b_ = dir_ / "B";
  const Path hash_ = dir_ / "Music #1";
  const Path file_ = dir_ / "file.txt";
  const std::string a = a_.display();
  const std::string b = b_.display();
};

TEST_F(RootPathsTest, LinesBecomeRootsInOrderWithDuplicates) {
  Result<RootPathList> roots = load(b + "\n" + a + "\n" + b);
  ASSERT_TRUE(roots.ok()) << roots.error().message();
  EXPECT_THAT(*roots, ElementsAre(b_, a_, b_));
}

TEST_F(RootPathsTest, CrLfAndLfGiveTheSameEntries) {
  for (const std::string& content : {a + "\r\n" + b + "\r\n", a + "\n" + b, a + "\r\n" + b}) {
    Result<RootPathList> roots = load(content);
    ASSERT_TRUE(roots.ok());
    EXPECT_THAT(*roots, ElementsAre(a_, b_)) << content;
  }
}

TEST_F(RootPathsTest, CommentsBlankLinesAndUnicodeSpaceAreSkipped) {
  const std::string content =
      "# roots\n   # indented comment\n\t#" + a + "\n\n   \n" + "\xC2\xA0 " + b + " \xE3\x80\x80\n";
  Result<RootPathList> roots = load(content);
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(b_));
}

TEST_F(RootPathsTest, OnlyCommentsGiveAnEmptyList) {
  Result<RootPathList> roots = load("# nothing yet\n\n    \n\t\n");
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, IsEmpty());
}

TEST_F(RootPathsTest, HashAfterTheFirstCharacterBelongsToThePath) {
  Result<RootPathList> roots = load(hash_.display() + "\n" + a + " # main\n");
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(hash_));
}

TEST_F(RootPathsTest, MissingPathsAndFilesAreDropped) {
  Result<RootPathList> roots =
      load((dir_ / "missing").display() + "\n" + file_.display() + "\n\"" + a + "\"\n" + b);
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(b_));
}

TEST_F(RootPathsTest, ByteOrderMarkStaysInFrontOfTheFirstLine) {
  Result<RootPathList> roots = load("\xEF\xBB\xBF" + a + "\n" + b + "\n");
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(b_));
}

TEST_F(RootPathsTest, LinkToAFolderCountsAsAFolder) {
  if (test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine: CreateSymbolicLinkW reports success and creates nothing";
  }
  const Path link = dir_ / "link";
  if (!test_support::make_symlink(a_, link, true)) GTEST_SKIP() << "no symbolic links here";
  Result<RootPathList> roots = load(link.display());
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(link));
}

TEST_F(RootPathsTest, MissingFileOrDataFolderGivesAnEmptyList) {
  for (const Path& path : {config_, (dir_ / "no-data-folder").child("config.txt")}) {
    Result<RootPathList> roots = load_root_paths(platform::real_file_system(), path, nobody);
    ASSERT_TRUE(roots.ok()) << path.display();
    EXPECT_THAT(*roots, IsEmpty());
  }
}

TEST_F(RootPathsTest, InvalidUtf8FailsWithTheDecodingCause) {
  for (const std::string& content : {a + "\n\xC3\x28\n",
                                     std::string("\xFF\xFE"
                                                 "C\0:\0\\\0",
                                                 8),
                                     std::string("\xED\xA0\x80")}) {
    Result<RootPathList> roots = load(content);
    ASSERT_FALSE(roots.ok());
    EXPECT_THAT(roots.error().chain(),
                ElementsAre("Failed to read config.txt", "stream did not contain valid UTF-8"));
  }
}

TEST_F(RootPathsTest, UnreadableFileFailsWithTheOsErrorAsCause) {
  test_support::make_folder(dir_ / "folder.txt");
  Result<RootPathList> roots =
      load_root_paths(platform::real_file_system(), dir_ / "folder.txt", nobody);
  ASSERT_FALSE(roots.ok());
  EXPECT_EQ(roots.error().message(), "Failed to read config.txt");
  EXPECT_GE(roots.error().chain().size(), 2u);
  EXPECT_TRUE(roots.error().os_code().has_value());
}

// ---- lines that name no root, and files too large to read ------------------------------------

LogEvent warning(std::string message) {
  return {log::Level::Warn, std::string(log::kTargetScanner), std::move(message)};
}

TEST_F(RootPathsTest, LinesThatNameNoRootAreSkippedWithAWarningThatNamesThem) {
  ScopedEnv no_profile("USERPROFILE", std::nullopt);
  test_support::LogCapture capture;
  const std::string sep{kSep};
  const std::string relative = "A" + sep + ".." + sep + "B";
  const std::string with_nul = a + std::string(1, '\0') + "x";
  const std::string unresolved = "%USERPROFILE%" + sep + "Pictures";
  const std::string roundabout = a + sep + ".." + sep + sep + "B" + sep + ".";

  Result<RootPathList> roots = load(relative + "\n" + with_nul + "\n" + unresolved + "\n" +
                                    roundabout + "\n" + (dir_ / "missing").display());

  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(b_));
  EXPECT_THAT(
      capture.events(),
      ElementsAre(warning("Root path is not absolute, skipping: " + relative),
                  warning("Root path is not valid, skipping: " + a + "\xEF\xBF\xBDx"),
                  warning("Root path has an unresolved placeholder, skipping: " + unresolved)));
}

// A sparse file claims gigabytes at no cost to whoever makes it; none of it is read.
TEST_F(RootPathsTest, FileLargerThanOneMebibyteFailsWithThatCause) {
  const std::string last_line = "\n" + b;
  std::string fits(kMaxConfigFileBytes - last_line.size(), 'x');
  fits.front() = '#';
  fits += last_line;
  Result<RootPathList> roots = load(fits);
  ASSERT_TRUE(roots.ok()) << roots.error().message();
  EXPECT_THAT(*roots, ElementsAre(b_));

  for (std::uintmax_t size : {std::uintmax_t{kMaxConfigFileBytes + 1}, std::uintmax_t{1} << 32}) {
    std::filesystem::resize_file(config_.bytes(), size);
    roots = load_root_paths(platform::real_file_system(), config_, nobody);
    ASSERT_FALSE(roots.ok()) << size;
    EXPECT_THAT(roots.error().chain(),
                ElementsAre("Failed to read config.txt", "the file is larger than 1 MiB"));
  }
}

// ---- the console user's placeholders -----------------------------------------------------------

class RootPathsUserTest : public RootPathsTest {
 protected:
  void SetUp() override {
    RootPathsTest::SetUp();
    test_support::make_folder(profile_.child("Documents"));
    test_support::make_folder(profile_.child("Nested"));
    test_support::make_folder((dir_ / "Shared").child("bob"));
    test_support::make_folder((dir_ / "Shared").child("svc"));
    test_support::make_folder(service_profile_.child("Documents"));
  }

  InteractiveUserLookup bob() {
    return [this]() -> std::optional<InteractiveUser> {
      ++lookups_;
      return InteractiveUser{"bob", profile_.display()};
    };
  }

  InteractiveUserLookup nobody_counted() {
    return [this]() -> std::optional<InteractiveUser> {
      ++lookups_;
      return std::nullopt;
    };
  }

  const Path profile_ = (dir_ / "Users").child("bob");
  const Path service_profile_ = dir_ / "ServiceProfile";
  const std::string sep{kSep};
  // The process's own variables, which the placeholders fall back to.
  ScopedEnv user_profile_{"USERPROFILE", service_profile_.display()};
  ScopedEnv user_name_{"USERNAME", "svc"};
  int lookups_ = 0;
};

TEST_F(RootPathsUserTest, PlaceholdersInAnyLetterCaseTakeTheConsoleUser) {
  Result<RootPathList> roots = load(
      "%userprofile%" + sep + "Documents\n" + (dir_ / "Shared").display() + sep + "%UserName%\n",
      bob());
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(profile_.child("Documents"), (dir_ / "Shared").child("bob")));
}

TEST_F(RootPathsUserTest, WithoutConsoleUserThePlaceholdersComeFromTheEnvironment) {
  Result<RootPathList> roots = load(
      "%USERPROFILE%" + sep + "Documents\n" + (dir_ / "Shared").display() + sep + "%USERNAME%\n",
      nobody_counted());
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots,
              ElementsAre(service_profile_.child("Documents"), (dir_ / "Shared").child("svc")));
  EXPECT_EQ(lookups_, 2);
}

TEST_F(RootPathsUserTest, SecondProfilePlaceholderOfALineComesFromTheEnvironment) {
  ScopedEnv nested("USERPROFILE", "Nested");
  Result<RootPathList> roots = load("%USERPROFILE%" + sep + "%USERPROFILE%", bob());
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(profile_.child("Nested")));
}

TEST_F(RootPathsUserTest, TheUserIsAskedForOnEveryPlaceholderLineAndOnlyThere) {
  Result<RootPathList> roots =
      load(a + "\n%USERPROFILE%\n" + b + "\n%username%x\n# %USERNAME%\n%USERPROFILE%\n", bob());
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(a_, profile_, b_, profile_));
  EXPECT_EQ(lookups_, 3);
}

TEST_F(RootPathsUserTest, UnsetVariableStopsTheExpansionAndTheLineIsDropped) {
  ScopedEnv unset("TINDRAL_TEST_UNSET", std::nullopt);
  test_support::make_folder(dir_ / "%TINDRAL_TEST_UNSET%");
  Result<RootPathList> roots = load((dir_ / "%TINDRAL_TEST_UNSET%").display() +
                                        "\n%TINDRAL_TEST_UNSET%" + sep + "%USERPROFILE%\n",
                                    nobody);
  ASSERT_TRUE(roots.ok());
  EXPECT_THAT(*roots, ElementsAre(dir_ / "%TINDRAL_TEST_UNSET%"));
}

// ---- expand_env_refs and replace_placeholder ---------------------------------------------------

class ExpandEnvRefsTest : public testing::Test {
 protected:
  ScopedEnv a_{"TINDRAL_A", "alpha"};
  ScopedEnv b_{"TINDRAL_B", "beta"};
  ScopedEnv nested_{"TINDRAL_NESTED", "%TINDRAL_A%-n"};
  ScopedEnv half_{"TINDRAL_HALF", "x%TINDRAL_"};
  ScopedEnv unset_{"TINDRAL_UNSET", std::nullopt};
};

struct ExpandCase {
  const char* label;
  const char* text;
  const char* expanded;
};

class ExpandEnvRefsCaseTest : public ExpandEnvRefsTest,
                              public testing::WithParamInterface<ExpandCase> {};

TEST_P(ExpandEnvRefsCaseTest, Expands) {
  EXPECT_EQ(expand_env_refs(GetParam().text), GetParam().expanded);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ExpandEnvRefsCaseTest,
    testing::Values(ExpandCase{"Empty", "", ""}, ExpandCase{"NoReference", "plain", "plain"},
                    ExpandCase{"OneReference", "%TINDRAL_A%/x", "alpha/x"},
                    ExpandCase{"AdjacentReferences", "%TINDRAL_A%%TINDRAL_B%", "alphabeta"},
                    ExpandCase{"ReferencesInText", "<%TINDRAL_A%|%TINDRAL_B%>", "<alpha|beta>"},
                    ExpandCase{"LonePercentSign", "D:/100% done", "D:/100% done"},
                    ExpandCase{"UnsetStopsEverything", "%TINDRAL_UNSET%/%TINDRAL_A%",
                               "%TINDRAL_UNSET%/%TINDRAL_A%"},
                    ExpandCase{"UnsetStopsTheRest", "%TINDRAL_A%/%TINDRAL_UNSET%/%TINDRAL_B%",
                               "alpha/%TINDRAL_UNSET%/%TINDRAL_B%"},
                    ExpandCase{"EmptyNameStops", "50%%TINDRAL_A%", "50%%TINDRAL_A%"},
                    ExpandCase{"ReferenceInAValue", "%TINDRAL_NESTED%", "alpha-n"},
                    // The value's "%" pairs with one after it: the search restarts from the
                    // beginning of the changed text.
                    ExpandCase{"ValueOpensAReference", "%TINDRAL_HALF%A%", "xalpha"}),
    [](const testing::TestParamInfo<ExpandCase>& info) { return info.param.label; });

TEST_F(ExpandEnvRefsTest, SelfReferenceEnds) {
  ScopedEnv self("TINDRAL_SELF", "%TINDRAL_SELF%");
  EXPECT_EQ(expand_env_refs("%TINDRAL_SELF%"), "%TINDRAL_SELF%");
}

TEST_F(ExpandEnvRefsTest, MutualReferenceEnds) {
  ScopedEnv ping("TINDRAL_PING", "%TINDRAL_PONG%");
  ScopedEnv pong("TINDRAL_PONG", "%TINDRAL_PING%");
  EXPECT_THAT(expand_env_refs("%TINDRAL_PING%"),
              testing::AnyOf("%TINDRAL_PING%", "%TINDRAL_PONG%"));
}

TEST_F(ExpandEnvRefsTest, GrowingReferenceEnds) {
  ScopedEnv grow("TINDRAL_GROW", "%TINDRAL_GROW%x");
  EXPECT_TRUE(expand_env_refs("%TINDRAL_GROW%").starts_with("%TINDRAL_GROW%xxx"));
}

// Many references are no cycle: each is expanded.
TEST_F(ExpandEnvRefsTest, ThousandsOfReferencesAllExpand) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "%TINDRAL_A%";
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += "alpha";
  EXPECT_EQ(expand_env_refs(text), expected);
}

TEST(ReplacePlaceholderTest, ReplacesTheFirstOccurrenceIgnoringCase) {
  struct Case {
    const char* text;
    const char* replaced;
  };
  for (const Case& c : {Case{"%UserProfile%/x/%USERPROFILE%", "P/x/%USERPROFILE%"},
                        Case{"a%userprofile%", "aP"}, Case{"%USERPROFILE", "%USERPROFILE"},
                        Case{"%USER PROFILE%", "%USER PROFILE%"}, Case{"", ""}}) {
    std::string text = c.text;
    replace_placeholder(text, "USERPROFILE", "P");
    EXPECT_EQ(text, c.replaced) << c.text;
  }
}

}  // namespace
}  // namespace tindral
