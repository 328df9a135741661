#include "config/data_folder.h"

#include <gtest/gtest.h>

#include <string>

#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral {
namespace {

using platform::EnvValue;

EnvValue present(std::string value) { return {EnvValue::State::Present, std::move(value)}; }

std::string joined(std::string_view base) {
  return std::string(base) + platform::kSeparator + "Tindral";
}

TEST(DataFolderTest, AppendsTindralToTheProgramDataValue) {
  EXPECT_EQ(data_folder_for(present("D:\\Data")).bytes(), joined("D:\\Data"));
  EXPECT_EQ(data_folder_for(present("C:/ProgramData")).bytes(), joined("C:/ProgramData"));
  EXPECT_EQ(data_folder_for(present("")).bytes(), joined(""));
}

TEST(DataFolderTest, TrailingSeparatorIsNotDoubled) {
  // "D:\Data\" ends in a separator only where a backslash is one (Windows).
  const std::string expected_for_backslash =
      platform::is_separator('\\') ? "D:\\Data\\Tindral" : joined("D:\\Data\\");
  EXPECT_EQ(data_folder_for(present("D:\\Data\\")).bytes(), expected_for_backslash);
  // A forward slash is a separator on both targets.
  EXPECT_EQ(data_folder_for(present("/srv/data/")).bytes(), "/srv/data/Tindral");
}

TEST(DataFolderTest, AbsentOrNonUnicodeValueSelectsTheDefaultBase) {
  const std::string expected = joined(platform::kDefaultProgramDataBase);
  EXPECT_EQ(data_folder_for(EnvValue{}).bytes(), expected);
  EXPECT_EQ(data_folder_for(EnvValue{EnvValue::State::NotUnicode, {}}).bytes(), expected);
}

TEST(DataFolderTest, ReadsTheProgramDataVariableOfTheProcess) {
  {
    test_support::ScopedEnv program_data("ProgramData", "E:\\Shared\\State");
    EXPECT_EQ(data_folder().bytes(), joined("E:\\Shared\\State"));
  }
  {
    test_support::ScopedEnv program_data("ProgramData", std::nullopt);
    EXPECT_EQ(data_folder().bytes(), joined(platform::kDefaultProgramDataBase));
  }
}

TEST(DataFolderTest, IsStableAndCreatesNothing) {
  test_support::TempDir temp;
  const Path base = temp / "base";
  test_support::ScopedEnv program_data("ProgramData", base.bytes());
  const Path first = data_folder();
  EXPECT_EQ(first, base.child("Tindral"));
  EXPECT_EQ(data_folder(), first);
  EXPECT_FALSE(test_support::path_exists(base));
  EXPECT_FALSE(test_support::path_exists(first));
}

}  // namespace
}  // namespace tindral
