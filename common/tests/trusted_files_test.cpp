// What the service reads from its data folder counts only when an administrator could have
// written it, and only what was judged is read: a failure to judge, or a swap after the
// judgement, never lets anybody else's file steer it.

#include "config/trusted_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/root_paths.h"
#include "config/settings.h"
#include "support/fake_file_system.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using platform::Trust;
using test_support::FakeFileSystem;
using testing::ElementsAre;
using testing::IsEmpty;

std::optional<InteractiveUser> nobody() { return std::nullopt; }

class TrustedFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    fs_.add_folder(photos_);
    fs_.add_folder(elsewhere_);
    fs_.add_file(config_, photos_.display() + "\n");
    fs_.add_file(settings_, "interval=7\n");
    fs_.add_file(flag_);
  }

  FakeFileSystem fs_;
  const Path data_ = Path::from_text("ProgramData").child("Tindral");
  const Path config_ = data_.child("config.txt");
  const Path settings_ = data_.child("settings.txt");
  const Path flag_ = data_.child("rescan.flag");
  // Absolute, as every root must be; the fake holds them in memory.
  test_support::TempDir dir_;
  const Path photos_ = dir_ / "Photos";
  const Path elsewhere_ = dir_ / "Elsewhere";
};

struct Distrust {
  const char* name;
  std::optional<Trust> trust;  // nothing: judging fails
  const char* reason;
};

// Each way a file may not count, the failure to judge it among them: config.txt gives no root,
// settings.txt the defaults, a flag is absent, and the reason is the one the log shows.
TEST_F(TrustedFilesTest, AFileThatCannotBeJudgedOrWasNotAnAdministratorsCountsAsAbsent) {
  const Distrust cases[] = {
      {"cannot be judged", std::nullopt, "its owner and permissions cannot be read"},
      {"another owner", Trust::OtherOwner, "it is owned by another account"},
      {"open to others", Trust::OpenToOthers, "other accounts may change it"},
  };
  for (const Distrust& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs;
    for (const Path& file : {config_, settings_, flag_}) {
      fs.add_file(file, file == config_ ? photos_.display() + "\n" : "interval=7\n");
      if (c.trust) {
        fs.set_trust(file, *c.trust);
      } else {
        fs.refuse(FakeFileSystem::Op::Trust, file);
      }
      EXPECT_EQ(distrust_reason(fs, file), std::optional<std::string_view>(c.reason));
    }
    fs.add_folder(photos_);
    Result<RootPathList> roots = load_root_paths(fs, config_, nobody);
    ASSERT_TRUE(roots);
    EXPECT_THAT(*roots, IsEmpty());
    Result<Settings> settings = load_settings(fs, settings_);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->interval, kDefaultIntervalMinutes);
    EXPECT_FALSE(is_trusted_data_file(fs, flag_));
  }
  // Missing is no reason at all.
  EXPECT_EQ(distrust_reason(fs_, data_.child("stop.flag")), std::nullopt);
  EXPECT_TRUE(is_trusted_data_file(fs_, flag_));
}

// Somebody swaps config.txt and settings.txt for files of their own after the service judged
// them: what is read is what was judged.
TEST_F(TrustedFilesTest, ASwapBetweenJudgementAndReadCannotFeedAnotherFile) {
  const std::pair<Path, std::string> swaps[] = {{config_, elsewhere_.display() + "\n"},
                                                {settings_, "interval=99\n"}};
  for (const auto& swap : swaps) {
    fs_.before(FakeFileSystem::Op::ReadFile, swap.first, [this, swap] {
      fs_.take_out(swap.first);
      fs_.add_file(swap.first, swap.second);
      fs_.set_trust(swap.first, Trust::OtherOwner);
    });
  }
  Result<RootPathList> roots = load_root_paths(fs_, config_, nobody);
  ASSERT_TRUE(roots);
  EXPECT_THAT(*roots, ElementsAre(photos_));
  Result<Settings> settings = load_settings(fs_, settings_);
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->interval, 7u);
}

}  // namespace
}  // namespace tindral
