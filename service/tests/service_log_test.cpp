#include "service_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/data_folder.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "service_log_reader.h"
#include "support/fake_file_system.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/service_log_lines.h"

namespace tindral {
namespace {

using test_support::FakeFileSystem;
using testing::ElementsAre;

std::string numbered_lines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "line " + std::to_string(i) + "\n";
  return text;
}

std::string timestamp_of(const platform::LocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return text;
}

class ServiceLogTest : public testing::Test {
 protected:
  Result<void> append(std::string_view message) {
    return append_service_log(platform::real_file_system(), log_, message);
  }

  test_support::TempDir dir_;
  Path data_ = (dir_ / "Program Data").child("Tindral");
  Path log_ = data_.child("service.log");
};

TEST_F(ServiceLogTest, FirstMessageCreatesTheFolderAndAOneLineLog) {
  ASSERT_TRUE(append("Tindral Service started").ok());
  EXPECT_THAT(test_support::service_log_messages(test_support::read_bytes(log_)),
              ElementsAre("Tindral Service started"));
}

TEST_F(ServiceLogTest, LineCarriesTheLocalTimeOfTheCall) {
  const std::string before = timestamp_of(platform::local_time_now());
  ASSERT_TRUE(append("x").ok());
  const std::string after = timestamp_of(platform::local_time_now());
  const std::string content = test_support::read_bytes(log_);
  ASSERT_EQ(content.size(), std::string("[2024-01-01 00:00:00] x\n").size()) << content;
  const std::string stamp = content.substr(1, before.size());
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(content.substr(1 + before.size()), "] x\n");
}

// Old content, the lines the next write keeps of it; the new line follows them.
struct ExistingLog {
  const char* name;
  std::string before;
  std::string kept;
};

TEST_F(ServiceLogTest, KeepsTheLastFiveHundredLinesAndNormalisesLineEnds) {
  const std::vector<ExistingLog> cases = {
      {"empty file", "", ""},
      {"last line without line feed", "a\nb", "a\nb\n"},
      {"carriage return line feeds", "a\r\nb\r\n", "a\nb\n"},
      {"blank lines stay and count", "a\n\n\nb\n", "a\n\n\nb\n"},
      {"carriage return not before a line feed stays", "a\rb\n", "a\rb\n"},
      {"499 lines", numbered_lines(1, 499), numbered_lines(1, 499)},
      {"500 lines", numbered_lines(1, 500), numbered_lines(2, 500)},
      {"600 lines", numbered_lines(1, 600), numbered_lines(102, 600)},
  };
  test_support::make_folder(data_);
  for (const ExistingLog& c : cases) {
    SCOPED_TRACE(c.name);
    test_support::write_bytes(log_, c.before);
    ASSERT_TRUE(append("new").ok());
    const std::string content = test_support::read_bytes(log_);
    ASSERT_TRUE(content.starts_with(c.kept)) << content.substr(0, 200);
    EXPECT_THAT(test_support::service_log_messages(content.substr(c.kept.size())),
                ElementsAre("new"));
    const auto lines = std::count(content.begin(), content.end(), '\n');
    EXPECT_LE(lines, static_cast<std::ptrdiff_t>(MAX_LOG_LINES));
  }
}

TEST_F(ServiceLogTest, MessageWithLineFeedsTakesSeveralLines) {
  test_support::make_folder(data_);
  test_support::write_bytes(log_, numbered_lines(1, 500));
  ASSERT_TRUE(append("first\nsecond").ok());
  const std::string content = test_support::read_bytes(log_);
  EXPECT_TRUE(content.starts_with(numbered_lines(3, 500))) << content.substr(0, 100);
  EXPECT_TRUE(content.ends_with("] first\nsecond\n")) << content;
}

// One stray byte must not cost the log every later line.
TEST_F(ServiceLogTest, BytesThatAreNotUtf8BecomeReplacementCharactersAndTheLogGoesOn) {
  test_support::make_folder(data_);
  test_support::write_bytes(log_, "ok\n\xC3\x28 broken\r\n\xFF\n");
  ASSERT_TRUE(append("next").ok());
  const std::string content = test_support::read_bytes(log_);
  const std::string kept = "ok\n\xEF\xBF\xBD( broken\n\xEF\xBF\xBD\n";
  ASSERT_TRUE(content.starts_with(kept)) << content;
  EXPECT_THAT(test_support::service_log_messages(content.substr(kept.size())), ElementsAre("next"));
}

// Somebody else's huge file is read only up to the bound and cut down to 500 lines of that.
TEST_F(ServiceLogTest, FileBeyondTheBoundIsReadUpToItAndCutDown) {
  test_support::make_folder(data_);
  const std::string line(kMaxServiceLogBytes / 1024 - 1, 'x');
  std::string before;
  for (int i = 0; i < 1024; ++i) before += line + "\n";
  ASSERT_EQ(before.size(), kMaxServiceLogBytes);
  test_support::write_bytes(log_, before + "beyond the bound\n");
  ASSERT_TRUE(append("next").ok());
  const std::string content = test_support::read_bytes(log_);
  std::string kept;
  for (std::size_t i = 1; i < MAX_LOG_LINES; ++i) kept += line + "\n";
  ASSERT_TRUE(content.starts_with(kept));
  EXPECT_THAT(test_support::service_log_messages(content.substr(kept.size())), ElementsAre("next"));
}

TEST_F(ServiceLogTest, FolderNamedServiceLogFails) {
  test_support::make_folder(log_);
  EXPECT_FALSE(append("lost").ok());
  EXPECT_EQ(platform::real_file_system().file_type(log_).value(), platform::FileType::Directory);
  EXPECT_FALSE(test_support::path_exists(data_.child("service.log.tmp")));
}

TEST_F(ServiceLogTest, TemporaryFileLeftByACrashIsReplacedNotMistakenForTheLog) {
  test_support::make_folder(data_);
  test_support::write_bytes(log_, "old\n");
  test_support::write_bytes(data_.child("service.log.tmp"), "half a line of an earlier wri");
  ASSERT_TRUE(append("new").ok());
  EXPECT_THAT(test_support::service_log_messages(test_support::read_bytes(log_).substr(4)),
              ElementsAre("new"));
  EXPECT_TRUE(test_support::read_bytes(log_).starts_with("old\n"));
  EXPECT_FALSE(test_support::path_exists(data_.child("service.log.tmp")));
}

// Somebody who may write the data folder could leave a link in the temporary file's place to
// have the service write through it: the link goes, and a new file of the service's own takes
// its name.
TEST_F(ServiceLogTest, ALinkInTheTemporaryFilesPlaceIsNeverWrittenThrough) {
  test_support::make_folder(data_);
  test_support::make_folder(dir_ / "elsewhere");
  const Path target = (dir_ / "elsewhere").child("target");
  test_support::write_bytes(target, "keep");
  if (!test_support::make_symlink(target, data_.child("service.log.tmp"), false)) {
    GTEST_SKIP() << "no symbolic link can be made here (Wine's CreateSymbolicLinkW makes none)";
  }
  ASSERT_TRUE(append("new").ok());
  EXPECT_EQ(test_support::read_bytes(target), "keep");
  EXPECT_THAT(test_support::service_log_messages(test_support::read_bytes(log_)),
              ElementsAre("new"));
}

// A link left in the log's place while the data folder was open to others is never read
// through: what it names stays out of the log, and the new log replaces the link.
TEST_F(ServiceLogTest, ALinkInTheLogsPlaceIsNeitherReadNorKept) {
  test_support::make_folder(data_);
  test_support::make_folder(dir_ / "elsewhere");
  const Path secret = (dir_ / "elsewhere").child("secret");
  test_support::write_bytes(secret, "root's secret\n");
  if (!test_support::make_symlink(secret, log_, false)) {
    GTEST_SKIP() << "no symbolic link can be made here (Wine's CreateSymbolicLinkW makes none)";
  }
  ASSERT_TRUE(append("new").ok());
  EXPECT_THAT(test_support::service_log_messages(test_support::read_bytes(log_)),
              ElementsAre("new"));
  EXPECT_EQ(test_support::read_bytes(secret), "root's secret\n");
}

// ---- readers ----------------------------------------------------------------------------------

// Whether this system replaces a file that a reader holds open (with read, write and delete
// sharing, as the log's readers open it).
bool replaces_a_file_held_open(const Path& folder) {
  platform::FileSystem& fs = platform::real_file_system();
  test_support::write_bytes(folder.child("held"), "old");
  test_support::write_bytes(folder.child("held.tmp"), "new");
  auto opened = fs.open_folder(folder);
  if (!opened) return false;
  auto held = (*opened)->open_file("held");
  return held && fs.replace_file(folder.child("held.tmp"), folder.child("held"));
}

// A viewer that keeps service.log open (tindralctl log --follow, an administrator's
// Get-Content -Wait) while the service writes: every line reaches the file and the reader, in
// order. The reader opens the file the name holds now before it lets go of the one it had, so
// every replacement meets a reader.
TEST_F(ServiceLogTest, AReaderHoldingTheLogOpenLosesNoLine) {
  test_support::make_folder(data_);
  if (test_support::running_under_wine() && !replaces_a_file_held_open(dir_.path())) {
    GTEST_SKIP() << "Wine 8 renames over no file that is open, whatever its sharing (error 5), "
                    "and knows no FileRenameInfoEx with POSIX semantics (error 87)";
  }
  platform::FileSystem& fs = platform::real_file_system();
  constexpr int kLines = 600;
  std::atomic<bool> all_written = false;
  std::atomic<int> seen_count = 0;
  std::vector<std::string> seen;
  std::thread reader([&] {
    std::unique_ptr<platform::OpenFile> held;
    std::vector<std::string> shown;
    for (bool last = false; !last;) {
      last = all_written.load();
      if (auto folder = fs.open_folder(data_)) {
        if (auto opened = (*folder)->open_file("service.log")) held = std::move(opened).value();
      }
      Result<std::vector<std::string>> now = read_service_log(fs, log_);
      if (!now) continue;
      for (const std::string& line : lines_added(shown, *now)) {
        seen.emplace_back(log_message(line));
      }
      seen_count = static_cast<int>(seen.size());
      shown = std::move(*now);
    }
  });
  std::vector<std::string> expected;
  for (int i = 1; i <= kLines; ++i) {
    // Never further ahead of the reader than the log's bound, or the reader could not see every
    // line however well the log kept them.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (i - seen_count.load() > 100 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    expected.push_back("line " + std::to_string(i));
    const Result<void> appended = append(expected.back());
    EXPECT_TRUE(appended) << expected.back() << ": " << appended.error().message();
  }
  all_written = true;
  reader.join();

  EXPECT_EQ(seen.size(), expected.size());
  EXPECT_EQ(seen, expected);
  const std::vector<std::string> kept = service_log_lines(test_support::read_bytes(log_));
  ASSERT_EQ(kept.size(), MAX_LOG_LINES);
  EXPECT_EQ(log_message(kept.back()), "line 600");
}

// ---- failures during the rewrite, which no real disk produces on demand ---------------------

class ServiceLogFakeTest : public testing::Test {
 protected:
  void SetUp() override { fs_.add_file(log_, old_content_); }

  FakeFileSystem fs_;
  const Path data_ = Path::from_text("ProgramData").child("Tindral");
  const Path log_ = data_.child("service.log");
  const Path temporary_ = data_.child("service.log.tmp");
  const std::string old_content_ = "[2024-05-01 10:00:00] Tindral Service started\n";
};

TEST_F(ServiceLogFakeTest, WriteFailingHalfWayLeavesTheOldLog) {
  fs_.fail_write_after(temporary_, 20);
  EXPECT_FALSE(append_service_log(fs_, log_, "Scan complete").ok());
  EXPECT_EQ(fs_.content(log_), old_content_);
  EXPECT_FALSE(fs_.contains(temporary_));
}

TEST_F(ServiceLogFakeTest, RefusedReplaceLeavesTheOldLog) {
  fs_.refuse(FakeFileSystem::Op::ReplaceFile, temporary_);
  EXPECT_FALSE(append_service_log(fs_, log_, "Scan complete").ok());
  EXPECT_EQ(fs_.content(log_), old_content_);
}

TEST_F(ServiceLogFakeTest, TemporaryThatCannotBeCreatedLeavesTheOldLog) {
  fs_.refuse(FakeFileSystem::Op::CreateOrTruncate, temporary_);
  EXPECT_FALSE(append_service_log(fs_, log_, "Scan complete").ok());
  EXPECT_EQ(fs_.content(log_), old_content_);
}

TEST_F(ServiceLogFakeTest, FolderThatCannotBeCreatedWritesNothing) {
  fs_.refuse(FakeFileSystem::Op::CreateFolders, data_);
  fs_.clear_operations();
  EXPECT_FALSE(append_service_log(fs_, log_, "Scan complete").ok());
  EXPECT_EQ(fs_.content(log_), old_content_);
  EXPECT_EQ(fs_.operations().size(), 1u) << testing::PrintToString(fs_.operations());
}

TEST_F(ServiceLogFakeTest, UnreadableLogIsNotOverwritten) {
  fs_.refuse(FakeFileSystem::Op::ReadFile, log_);
  EXPECT_FALSE(append_service_log(fs_, log_, "Scan complete").ok());
  EXPECT_EQ(fs_.content(log_), old_content_);
  EXPECT_FALSE(fs_.contains(temporary_));
}

TEST_F(ServiceLogFakeTest, SuccessfulWriteGoesThroughTheTemporaryFile) {
  fs_.clear_operations();
  ASSERT_TRUE(append_service_log(fs_, log_, "Scan complete").ok());
  const std::vector<std::string> operations = fs_.operations();
  ASSERT_EQ(operations.size(), 5u) << testing::PrintToString(operations);
  // A leftover of the temporary file's name goes first; there is none here.
  EXPECT_EQ(operations[1], "delete " + temporary_.display() + " (failed)");
  EXPECT_EQ(operations[2], "create " + temporary_.display());
  EXPECT_EQ(operations[3], "write " + temporary_.display());
  EXPECT_EQ(operations[4], "replace " + temporary_.display() + " " + log_.display());
  EXPECT_THAT(test_support::service_log_messages(fs_.content(log_)),
              ElementsAre("Tindral Service started", "Scan complete"));
}

}  // namespace
}  // namespace tindral
