// The boundary between the service's byte strings and the operating system, seen from above the
// platform layer: names, long paths, environment values, OS messages and the local clock. On
// Windows every case crosses the WTF-8 <-> UTF-16 conversion and the long-path prefix; natively
// the same cases pin down that POSIX passes the bytes through untouched.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/file_system.h"
#include "support/listing.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral::platform {
namespace {

// More than any file these tests read.
constexpr std::size_t kWholeFile = 1 << 20;

using test_support::read_bytes;
using test_support::running_under_wine;

// The classic Windows path limit, and the lower one that CreateDirectoryW observes.
constexpr std::size_t kClassicLimit = 260;
constexpr std::size_t kFolderLimit = kClassicLimit - 12;

class WidePathTest : public testing::Test {
 protected:
  FileSystem& fs = real_file_system();
  test_support::TempDir dir;

  std::set<std::string> names_in(const Path& folder) {
    std::set<std::string> names;
    for (const DirEntry& entry : test_support::list_folder(fs, folder)) names.insert(entry.name);
    return names;
  }

  void write(const Path& file, std::string_view content) {
    auto opened = fs.create_or_truncate(file);
    ASSERT_TRUE(opened) << file.display() << ": " << opened.error().message();
    auto written = (*opened)->write_all(content);
    ASSERT_TRUE(written) << file.display() << ": " << written.error().message();
  }

  // Each name is created through the layer, must be listed with exactly its bytes, and must
  // open again under the listed name.
  void expect_names_round_trip(const std::vector<std::string>& names) {
    for (const std::string& name : names) write(dir / name, name);
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>(names.begin(), names.end()));
    for (const std::string& name : names) {
      auto content = fs.read_file(dir / name, kWholeFile);
      ASSERT_TRUE(content) << content.error().message();
      EXPECT_EQ(*content, name);
      EXPECT_EQ(read_bytes(dir / name), name);
    }
  }

  // `dir` followed by `name`s joined with "/", which both platforms take as a separator.
  std::string spelled_with_slashes(const std::vector<std::string>& names) const {
    std::string path = dir.path().bytes();
    for (const std::string& name : names) path += "/" + name;
    return path;
  }
};

// The edges of each UTF-8 length, the first code point after the surrogates, and characters
// outside the basic plane, which UTF-16 spells as a surrogate pair.
TEST_F(WidePathTest, NamesAtTheEdgesOfEachEncodingLengthRoundTrip) {
  expect_names_round_trip({
      "\xC2\x80-two-byte-lowest",
      "\xDF\xBF-two-byte-highest",
      "\xE0\xA0\x80-three-byte-lowest",
      "\xED\x9F\xBF-below-surrogates",
      "\xEE\x80\x80-above-surrogates",
      "\xEF\xBF\xBD-replacement-character",
      "\xF0\x90\x80\x80-four-byte-lowest",
      "grin-\xF0\x9F\x98\x80",
      "\xF4\x8F\xBF\xBD-last-plane",
  });
}

TEST_F(WidePathTest, NamesWithUnpairedSurrogatesRoundTrip) {
  if (running_under_wine()) GTEST_SKIP() << "Wine fails names with unpaired surrogates, error 2";
  expect_names_round_trip({
      "lone-high-\xED\xA0\x80",
      "\xED\xBF\xBF-lone-low",
      // A high surrogate, then a pair: the pair must stay a pair.
      "\xED\xAF\xBF\xF0\x9F\x98\x80",
      // A low surrogate, then a high one: reversed, so no pair.
      "\xED\xB0\x80\xED\xA0\x80",
  });
}

// A path just below, at and above each limit, as a folder and as a file in it.
TEST_F(WidePathTest, PathsAroundTheClassicLimitsWork) {
  const std::size_t base = dir.path().bytes().size() + 1;
  ASSERT_LT(base, kFolderLimit - 1) << "the temporary folder is too deep for this test";
  for (const std::size_t length : {kFolderLimit - 1, kFolderLimit, kFolderLimit + 1,
                                   kClassicLimit - 1, kClassicLimit, kClassicLimit + 1}) {
    SCOPED_TRACE(length);
    const Path folder = dir / std::string(length - base, 'd');
    ASSERT_EQ(folder.bytes().size(), length);
    ASSERT_TRUE(fs.create_folders(folder));
    const Path file = folder.child(std::string(4, 'f'));
    write(file, "x");
    EXPECT_EQ(read_bytes(file), "x");
    EXPECT_EQ(names_in(folder), std::set<std::string>{"ffff"});
    ASSERT_TRUE(fs.delete_file(file));
    EXPECT_FALSE(test_support::path_exists(file));
  }
}

// `base` followed by folders of 200-byte names (`letter` repeated) until the path is `bytes` long
// or longer.
Path chain_below(Path base, std::size_t bytes, char letter) {
  while (base.bytes().size() < bytes) base = base.child(std::string(200, letter));
  return base;
}

// Paths well beyond MAX_PATH; beyond the kernel's PATH_MAX (4,096 bytes), which a whole path
// may not reach natively; and beyond what 128 folder descriptors spaced 256 bytes apart cover.
class LongPathTest : public WidePathTest, public testing::WithParamInterface<std::size_t> {
 protected:
  void SetUp() override {
    if (GetParam() > test_support::longest_path_bytes()) {
      GTEST_SKIP() << (running_under_wine() ? "Wine: a path over about 4,266 characters fails "
                                              "with error 31, its Unix side's PATH_MAX"
                                            : "Windows: a path holds at most 32,767 characters");
    }
  }
};

// Every operation of the layer must reach the file, and the bytes must be where the path says.
TEST_P(LongPathTest, EveryOperationReachesTheFile) {
  const Path deep = chain_below(dir.path(), GetParam(), 'd');
  const Path file = deep.child("file.txt");
  const Path replacement = deep.child("file.txt.new");

  ASSERT_TRUE(fs.create_folders(deep));
  EXPECT_EQ(*fs.file_type(deep), FileType::Directory);
  write(file, "old");
  write(replacement, "new");
  ASSERT_TRUE(fs.replace_file(replacement, file));
  EXPECT_EQ(names_in(deep), std::set<std::string>{"file.txt"});
  EXPECT_EQ(*fs.file_type(file), FileType::File);
  auto content = fs.read_file(file, kWholeFile);
  ASSERT_TRUE(content) << content.error().message();
  EXPECT_EQ(*content, "new");
  EXPECT_EQ(read_bytes(file), "new");

  ASSERT_TRUE(fs.set_attributes(file, kAttrHidden | kAttrSystem));
  EXPECT_EQ(*fs.get_attributes(file) & 0x7u, kAttrHidden | kAttrSystem);
  ASSERT_TRUE(fs.set_attributes(file, kAttrReadonly));
  auto deleted = fs.delete_file(file);
  ASSERT_TRUE(deleted) << deleted.error().message();
  EXPECT_FALSE(test_support::path_exists(file));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongPathTest, testing::Values(600, 6000, 40000),
                         [](const auto& info) { return std::to_string(info.param) + "Bytes"; });

// Calls on neighbouring long paths, on their common ancestor and on a short path in between
// each land in their own folder, whatever path came before.
TEST_F(WidePathTest, NeighbouringLongPathsEachReachTheirOwnFolder) {
  constexpr std::size_t kLength = 5000;
  if (kLength + 1000 > test_support::longest_path_bytes()) {
    GTEST_SKIP() << "Wine: a path over about 4,266 characters fails with error 31";
  }
  const Path common = chain_below(dir.path(), kLength, 'c');
  const Path first = chain_below(common, kLength + 600, 'a');
  const Path second = chain_below(common, kLength + 600, 'b');
  const Path ancestor = chain_below(dir.path(), kLength - 1000, 'c');
  ASSERT_TRUE(fs.create_folders(first));
  ASSERT_TRUE(fs.create_folders(second));

  const std::vector<std::pair<Path, std::string>> files = {
      {first.child("f"), "first"},       {second.child("f"), "second"},
      {common.child("f"), "common"},     {dir.path().child("f"), "short"},
      {ancestor.child("f"), "ancestor"}, {first.child("g"), "g"},
  };
  for (const auto& [file, text] : files) write(file, text);
  for (const auto& [file, text] : files) {
    auto content = fs.read_file(file, kWholeFile);
    ASSERT_TRUE(content) << content.error().message();
    EXPECT_EQ(*content, text);
    EXPECT_EQ(read_bytes(file), text);
  }
  EXPECT_EQ(names_in(first), (std::set<std::string>{"f", "g"}));
  EXPECT_EQ(names_in(second), std::set<std::string>{"f"});

  ASSERT_TRUE(fs.set_attributes(first.child("f"), kAttrHidden));
  EXPECT_EQ(*fs.get_attributes(second.child("f")) & kAttrHidden, 0u);
  EXPECT_EQ(*fs.get_attributes(first.child("f")) & kAttrHidden, kAttrHidden);
  ASSERT_TRUE(fs.delete_file(common.child("f")));
  EXPECT_FALSE(test_support::path_exists(common.child("f")));
  EXPECT_TRUE(test_support::path_exists(first.child("f")));
  EXPECT_TRUE(test_support::path_exists(second.child("f")));
}

// A long path is handed to Windows verbatim (\\?\), which resolves neither "/" nor "." nor
// "..": the layer must have done that itself, so that the path names what it would name if it
// were short.
TEST_F(WidePathTest, ALongPathWithSlashesAndDotComponentsNamesTheSameFile) {
  const std::string first(100, 'p');
  const std::string second(100, 'q');
  ASSERT_TRUE(fs.create_folders(dir.path().child(first).child(second)));
  const Path plain = dir.path().child(first).child(second).child("f.txt");
  const Path roundabout(spelled_with_slashes({first, ".", second, "..", second, "f.txt"}));
  ASSERT_GT(roundabout.bytes().size(), kClassicLimit);

  write(roundabout, "via dots");

  EXPECT_EQ(read_bytes(plain), "via dots");
  auto content = fs.read_file(roundabout, kWholeFile);
  ASSERT_TRUE(content) << content.error().message();
  EXPECT_EQ(*content, "via dots");
  EXPECT_EQ(names_in(Path(spelled_with_slashes({first, second, ".", "..", second}))),
            std::set<std::string>{"f.txt"});
}

// The OS message inside an error is one line: no line break and no trailing blank may come
// before the code.
TEST_F(WidePathTest, OsErrorTextIsOneTrimmedLine) {
  auto missing = fs.read_file(dir / "missing", kWholeFile);
  ASSERT_FALSE(missing);
  const std::string& text = missing.error().message();
  const std::size_t code_at = text.rfind(" (os error ");
  ASSERT_NE(code_at, std::string::npos) << text;
  ASSERT_GT(code_at, 0u) << text;
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text[code_at - 1], ' ') << text;
  EXPECT_EQ(text.substr(code_at), " (os error " + std::to_string(*missing.error().os_code()) + ")");
}

TEST(WideEnvironmentTest, ValuesRoundTripIncludingEmptyAndLongOnes) {
  const std::string long_value(5000, 'v');
  for (const std::string& value : {std::string(),
                                   std::string("Gr\xC3\xBC\xC3\x9F"
                                               "e \xE2\x9C\x93 \xF0\x9F\x98\x80"),
                                   long_value}) {
    test_support::ScopedEnv variable("TINDRAL_WIDE_TEST", value);
    const EnvValue read = get_env("TINDRAL_WIDE_TEST");
    EXPECT_EQ(read.state, EnvValue::State::Present);
    EXPECT_EQ(read.value, value);
  }
  test_support::ScopedEnv absent("TINDRAL_WIDE_TEST", std::nullopt);
  EXPECT_EQ(get_env("TINDRAL_WIDE_TEST").state, EnvValue::State::Absent);
}

// The reading must be local time with its fields in place: converted back as if it were UTC,
// it lies within the largest time-zone offset (14 hours) of the real UTC time.
TEST(LocalTimeTest, ReadsTheCurrentTimeWithinAnyZoneOffset) {
  using namespace std::chrono;
  const LocalTime local = local_time_now();
  const auto utc_now = system_clock::now();

  ASSERT_GE(local.month, 1);
  ASSERT_LE(local.month, 12);
  const year_month_day date{year{local.year}, month{static_cast<unsigned>(local.month)},
                            day{static_cast<unsigned>(local.day)}};
  ASSERT_TRUE(date.ok());
  const auto as_if_utc =
      sys_days(date) + hours(local.hour) + minutes(local.minute) + seconds(local.second);
  const auto offset = duration_cast<minutes>(as_if_utc - utc_now);
  EXPECT_LE(offset, hours(14) + minutes(1));
  EXPECT_GE(offset, -hours(14) - minutes(1));
}

}  // namespace
}  // namespace tindral::platform
