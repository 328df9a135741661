#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "platform/file_system.h"
#include "platform/language.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

class SettingsTest : public testing::Test {
 protected:
  Result<Settings> load(std::string_view content) {
    test_support::write_bytes(path_, content);
    return load_settings(platform::real_file_system(), path_);
  }

  test_support::TempDir dir_;
  Path path_ = dir_ / "settings.txt";
};

TEST_F(SettingsTest, DefaultsAreGreenFifteenMinutesAndTheInterfaceLanguage) {
  const Settings defaults = default_settings();
  EXPECT_EQ(defaults.color, "green");
  EXPECT_EQ(defaults.interval, 15u);
  EXPECT_EQ(defaults.lang, platform::user_ui_language_is_danish() ? "da" : "en");
}

TEST_F(SettingsTest, MissingFileOrFolderGivesTheDefaults) {
  for (const Path& path : {path_, (dir_ / "missing").child("settings.txt")}) {
    Result<Settings> settings = load_settings(platform::real_file_system(), path);
    ASSERT_TRUE(settings.ok()) << path.display();
    EXPECT_EQ(settings->interval, 15u);
    EXPECT_EQ(settings->color, "green");
  }
}

// settings.txt is read every 30 seconds: a file beyond the bound is refused, not read whole.
TEST_F(SettingsTest, FileLargerThanOneMebibyteFailsWithThatCause) {
  const std::string setting = "interval=30\n";
  const std::string fits = setting + std::string(kMaxConfigFileBytes - setting.size(), ' ');
  Result<Settings> settings = load(fits);
  ASSERT_TRUE(settings.ok()) << settings.error().message();
  EXPECT_EQ(settings->interval, 30u);

  settings = load(fits + " ");
  ASSERT_FALSE(settings.ok());
  EXPECT_EQ(settings.error().chain(), (std::vector<std::string>{"Failed to read settings.txt",
                                                                "the file is larger than 1 MiB"}));
}

struct IntervalCase {
  const char* content;
  std::uint32_t interval;
};

void PrintTo(const IntervalCase& c, std::ostream* out) {
  *out << testing::PrintToString(std::string(c.content));
}

class SettingsIntervalTest : public SettingsTest,
                             public testing::WithParamInterface<IntervalCase> {};

TEST_P(SettingsIntervalTest, Interval) {
  Result<Settings> settings = load(GetParam().content);
  ASSERT_TRUE(settings.ok()) << settings.error().message();
  EXPECT_EQ(settings->interval, GetParam().interval);
}

INSTANTIATE_TEST_SUITE_P(
    ValueRules, SettingsIntervalTest,
    testing::Values(
        IntervalCase{"", 15}, IntervalCase{"\n\n# interval is in minutes\n   \n", 15},
        IntervalCase{"interval=30", 30}, IntervalCase{"  Interval = +30  \n", 30},
        IntervalCase{"INTERVAL=0030\n", 30}, IntervalCase{"interval=0\n", 0},
        IntervalCase{"interval=4294967295\n", 4294967295u},
        IntervalCase{"interval=4294967296\n", 15},
        IntervalCase{"interval=99999999999999999999", 15}, IntervalCase{"interval=-5\n", 15},
        IntervalCase{"interval=30min\n", 15}, IntervalCase{"interval=1.5\n", 15},
        IntervalCase{"interval=\n", 15}, IntervalCase{"interval=+\n", 15},
        IntervalCase{"interval=-\n", 15}, IntervalCase{"interval=++5\n", 15},
        IntervalCase{"interval=3 0\n", 15}, IntervalCase{"interval=5 # minutes\n", 15},
        IntervalCase{"interval 5\n", 15}, IntervalCase{"#interval=5\n", 15},
        // The last valid line wins; an invalid one keeps what came before.
        IntervalCase{"interval=10\ncolor=red\ninterval=20\n", 20},
        IntervalCase{"interval=10\ninterval=abc\n", 10},
        // A byte-order mark belongs to the first key.
        IntervalCase{"\xEF\xBB\xBFinterval=5\n", 15},
        IntervalCase{"\xEF\xBB\xBFinterval=5\ninterval=7\n", 7},
        // CR LF line ends and Unicode white space around key and value.
        IntervalCase{"interval=5\r\n", 5}, IntervalCase{"\xE3\x80\x80interval\xC2\xA0=\t6\r\n", 6},
        // Full Unicode lower-casing turns U+0130 (I with dot above) into "i" and U+0307, so
        // this key is not "interval" (a simple per-character mapping would give a plain "i").
        IntervalCase{"\xC4\xB0NTERVAL=5\n", 15}),
    [](const testing::TestParamInfo<IntervalCase>& info) {
      return "Case" + std::to_string(info.index);
    });

struct TextValueCase {
  const char* content;
  const char* color;
  const char* lang;
};

void PrintTo(const TextValueCase& c, std::ostream* out) {
  *out << testing::PrintToString(std::string(c.content));
}

class SettingsTextValueTest : public SettingsTest,
                              public testing::WithParamInterface<TextValueCase> {};

TEST_P(SettingsTextValueTest, ColorAndLang) {
  Result<Settings> settings = load(GetParam().content);
  ASSERT_TRUE(settings.ok()) << settings.error().message();
  EXPECT_EQ(settings->color, GetParam().color);
  const std::string default_lang = default_settings().lang;
  EXPECT_EQ(settings->lang, GetParam().lang ? GetParam().lang : default_lang);
}

INSTANTIATE_TEST_SUITE_P(
    ValueRules, SettingsTextValueTest,
    testing::Values(TextValueCase{"color=\n", "", nullptr},
                    TextValueCase{"lang=de\n", "green", "de"},
                    TextValueCase{"color=blue # note\n", "blue # note", nullptr},
                    TextValueCase{"COLOR = Red Sky \nLang=\n", "Red Sky", ""},
                    TextValueCase{"color=a=b=c\n", "a=b=c", nullptr},
                    TextValueCase{"=blue\ncolour=red\n[section]\n", "green", nullptr},
                    TextValueCase{"color=red\ncolor=\u00E6bler\u00F8d\n", "\u00E6bler\u00F8d",
                                  nullptr},
                    // Full Unicode lower-casing of the key: fullwidth letters stay distinct.
                    TextValueCase{"\xEF\xBC\xA3OLOR=red\n", "green", nullptr},
                    // The last line needs no line feed.
                    TextValueCase{"lang=sv\r\ncolor=gray", "gray", "sv"}),
    [](const testing::TestParamInfo<TextValueCase>& info) {
      return "Case" + std::to_string(info.index);
    });

// watch=off turns change-driven updates off; anything but on or off (in any case) keeps what
// the lines before said.
TEST_F(SettingsTest, WatchIsOnUnlessTheLastValidLineTurnsItOff) {
  const struct {
    const char* content;
    bool watch;
  } cases[] = {{"", true},
               {"watch=off\n", false},
               {" Watch = OFF \r\n", false},
               {"watch=off\nwatch=on\n", true},
               {"watch=off\nwatch=no\n", false},
               {"watch=false\n", true},
               {"watch=off # rescans only\n", true},
               {"\xEF\xBB\xBFwatch=off\n", true}};
  for (const auto& c : cases) {
    Result<Settings> settings = load(c.content);
    ASSERT_TRUE(settings.ok()) << settings.error().message();
    EXPECT_EQ(settings->watch, c.watch) << testing::PrintToString(std::string(c.content));
  }
}

TEST_F(SettingsTest, InvalidUtf8FailsToLoad) {
  Result<Settings> settings = load("interval=5\n\xFF\xFE\n");
  ASSERT_FALSE(settings.ok());
  EXPECT_EQ(settings.error().message(), "Failed to read settings.txt");
  EXPECT_GE(settings.error().chain().size(), 2u);
}

TEST_F(SettingsTest, UnreadableFileFailsWithTheOperatingSystemErrorAsCause) {
  test_support::make_folder(path_);  // a folder of that name exists but cannot be read as a file
  Result<Settings> settings = load_settings(platform::real_file_system(), path_);
  ASSERT_FALSE(settings.ok());
  EXPECT_EQ(settings.error().message(), "Failed to read settings.txt");
  EXPECT_TRUE(settings.error().os_code().has_value());
}

}  // namespace
}  // namespace tindral

namespace tindral {
namespace {

// The icon desktop.ini names: settings.txt's icon as written (the last one wins), else
// folder.ico in the data folder; a file the service cannot read falls back as well.
TEST_F(SettingsTest, IconPathComesFromTheIconSettingOrTheDataFolder) {
  const Path data_folder = dir_.path();
  platform::FileSystem& fs = platform::real_file_system();
  const std::string own_icon = data_folder_icon_path(data_folder);
  EXPECT_TRUE(own_icon.ends_with("\\folder.ico")) << own_icon;
  EXPECT_EQ(own_icon.find('/'), std::string::npos) << own_icon;

  EXPECT_EQ(configured_icon_path(fs, data_folder), own_icon);
  test_support::write_bytes(
      path_, "interval=5\r\nIcon = \\\\old\\icons\\a.ico\r\nicon=\\\\srv\\icons\\folder.ico\r\n");
  EXPECT_EQ(configured_icon_path(fs, data_folder), "\\\\srv\\icons\\folder.ico");
  test_support::write_bytes(path_, "icon=\r\n");
  EXPECT_EQ(configured_icon_path(fs, data_folder), own_icon);
  test_support::write_bytes(path_, "icon=\\\\srv\\icons\\folder.ico\n\xff\n");
  EXPECT_EQ(configured_icon_path(fs, data_folder), own_icon);
}

}  // namespace
}  // namespace tindral
