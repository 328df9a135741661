// The built executable run as a child process, as a user or a script would run it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "support/child_process.h"
#include "support/machine.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using test_support::ChildOutcome;
using test_support::EnvironmentChanges;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// A log line as it reaches standard output without colour.
const std::regex kLogLine(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z (ERROR| WARN| INFO) )"
                          R"(TindralService(::service_impl|::scanner)?: .*)");

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string summary_pattern(int folders, int written, int removed) {
  return "\nScan complete:\n  Folders scanned: " + std::to_string(folders) +
         "\n  Desktop.ini written: " + std::to_string(written) +
         "\n  Desktop.ini removed: " + std::to_string(removed) +
         "\n  Time elapsed: \\d+\\.\\d{2}s\n";
}

class ConsoleProcessTest : public testing::Test {
 protected:
  Path program_data() const { return tmp_ / "programdata"; }
  Path data_folder() const { return program_data().child("Tindral"); }
  Path tree() const { return tmp_ / "tree"; }

  // A path below the tree, given with "/" between the names.
  Path in_tree(std::string_view relative) const {
    Path path = tree();
    std::size_t start = 0;
    while (start <= relative.size()) {
      const std::size_t end = std::min(relative.find('/', start), relative.size());
      path = path.child(relative.substr(start, end - start));
      start = end + 1;
    }
    return path;
  }

  void put_file(std::string_view relative, std::string_view bytes) {
    const std::string_view folder = relative.substr(0, relative.rfind('/'));
    test_support::make_folder(in_tree(folder));
    test_support::write_bytes(in_tree(relative), bytes);
  }

  void write_config(std::string_view bytes) {
    test_support::make_folder(data_folder());
    test_support::write_bytes(data_folder().child("config.txt"), bytes);
  }

  // The variables that decide the run are set explicitly; a test runner started by a service
  // manager must not make the child believe it is a service.
  ChildOutcome run_tindral(const std::vector<std::string>& arguments,
                           const EnvironmentChanges& extra = {}) {
    EnvironmentChanges environment{{"ProgramData", program_data().bytes()},
                                   {"NO_COLOR", "1"},
                                   {"INVOCATION_ID", std::nullopt},
                                   {"NOTIFY_SOCKET", std::nullopt}};
    environment.insert(environment.end(), extra.begin(), extra.end());
    return test_support::run_child(test_support::built_program(TINDRAL_EXE), arguments, environment,
                                   tmp_.path());
  }

  // Checks that standard output is log lines followed by the summary, and returns the log lines.
  std::vector<std::string> expect_log_then_summary(const std::string& out,
                                                   const std::string& pattern) {
    const std::size_t summary_start = out.rfind("\nScan complete:\n");
    if (summary_start == std::string::npos) {
      ADD_FAILURE() << "no summary in:\n" << out;
      return {};
    }
    EXPECT_TRUE(std::regex_match(out.substr(summary_start), std::regex(pattern)))
        << out.substr(summary_start);
    const std::vector<std::string> log_lines = lines_of(out.substr(0, summary_start));
    for (const std::string& line : log_lines) {
      EXPECT_TRUE(std::regex_match(line, kLogLine)) << "not a log line: " << line;
    }
    return log_lines;
  }

  test_support::TempDir tmp_;
};

TEST_F(ConsoleProcessTest, ScansTheConfiguredTreeAndPrintsTheSummary) {
  const std::string foreign_ini = "[.ShellClassInfo]\r\nIconResource=C:\\Icons\\mine.ico,0\r\n";
  put_file("photos/trip.jpg", "jpeg");
  test_support::make_folder(in_tree("empty"));
  put_file("docs/letters/letter.txt", "text");
  put_file("foreign/desktop.ini", foreign_ini);
  put_file("foreign/notes.txt", "notes");
  put_file("stale/desktop.ini",
           "[.ShellClassInfo]\r\nIconResource=C:\\Old\\folder.ico,0\r\n[Tindral]\r\n"
           "Generated=true\r\n");
  write_config("# the sample tree\n" + tree().bytes() + "\n");

  const ChildOutcome outcome = run_tindral({"--console"});

  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");
  // Folders: tree, photos, empty, docs, letters, foreign, stale. Written: tree, photos, docs,
  // letters (foreign keeps its own file). Removed: the stale one.
  const std::vector<std::string> log_lines =
      expect_log_then_summary(outcome.out, summary_pattern(7, 4, 1));
  ASSERT_GE(log_lines.size(), 2u);
  EXPECT_THAT(log_lines[0], EndsWith(" INFO TindralService: Running in console mode"));
  EXPECT_THAT(log_lines[1],
              EndsWith(" INFO TindralService::service_impl: Running in console mode - "
                       "Press Ctrl+C to stop"));
  EXPECT_THAT(outcome.out, Not(HasSubstr("\x1b"))) << "NO_COLOR=1 leaves no escape sequence";

  for (const Path& folder : {tree(), in_tree("photos"), in_tree("docs"), in_tree("docs/letters")}) {
    EXPECT_TRUE(test_support::path_exists(folder.child("desktop.ini"))) << folder.display();
  }
  EXPECT_FALSE(test_support::path_exists(in_tree("empty/desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(in_tree("stale/desktop.ini")));
  EXPECT_EQ(test_support::read_bytes(in_tree("foreign/desktop.ini")), foreign_ini);
  EXPECT_FALSE(test_support::path_exists(data_folder().child("service.log")))
      << "console mode does not write the service log";
}

// The shell reads desktop.ini as Unicode only in UTF-16 after a byte-order mark; the file the
// service writes that way is up to date at the next scan.
TEST_F(ConsoleProcessTest, AnIconPathOutsideAsciiIsWrittenInUtf16LeAndLeftAsItIsNextTime) {
  const auto utf16le = [](std::string_view ascii) {
    std::string bytes;
    for (char c : ascii) bytes += {c, '\0'};
    return bytes;
  };
  put_file("photos/trip.jpg", "jpeg");
  write_config(tree().bytes() + "\n");
  test_support::write_bytes(data_folder().child("settings.txt"),
                            "icon=C:\\Ikoner\\Bl\xC3\xA5\\folder.ico\n");
  const std::string expected =
      "\xFF\xFE" + utf16le("[.ShellClassInfo]\r\nIconResource=C:\\Ikoner\\Bl") +
      std::string("\xE5\0", 2) + utf16le("\\folder.ico,0\r\n[Tindral]\r\nGenerated=true\r\n");

  ChildOutcome outcome = run_tindral({"--console"});
  EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
  expect_log_then_summary(outcome.out, summary_pattern(2, 2, 0));
  EXPECT_EQ(test_support::read_bytes(in_tree("photos/desktop.ini")), expected);

  outcome = run_tindral({"--console"});
  EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
  expect_log_then_summary(outcome.out, summary_pattern(2, 0, 0));
  EXPECT_EQ(test_support::read_bytes(tree().child("desktop.ini")), expected);
}

// The console run takes the data folder back as the service does before it reads config.txt,
// so a config.txt that others could have changed names no root.
TEST_F(ConsoleProcessTest, SecuresTheDataFolderAsTheServiceDoesBeforeReadingIt) {
  put_file("photos/trip.jpg", "jpeg");
  write_config(tree().bytes() + "\n");
  test_support::open_to_everybody(data_folder().child("config.txt"));
  test_support::open_to_everybody(data_folder());

  const ChildOutcome outcome = run_tindral({"--console"});

  EXPECT_EQ(outcome.exit_code, 0);
  const std::vector<std::string> log_lines =
      expect_log_then_summary(outcome.out, summary_pattern(0, 0, 0));
  const std::string warning = " WARN TindralService::service_impl: ";
  EXPECT_THAT(log_lines,
              testing::Contains(EndsWith(warning + "Data folder was open to other accounts; only "
                                                   "administrators may change it now")));
  EXPECT_THAT(log_lines,
              testing::Contains(EndsWith(warning + "Removed config.txt from the data folder: other "
                                                   "accounts may change it")));
  EXPECT_EQ(*platform::real_file_system().trust(data_folder()), platform::Trust::Administrators);
  EXPECT_FALSE(test_support::path_exists(tree().child("desktop.ini")));
}

TEST_F(ConsoleProcessTest, MissingConfigGivesThreeZeroCountersAndFurtherArgumentsAreIgnored) {
  const ChildOutcome outcome = run_tindral({"--console", "--ignored", "extra"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.err, "");
  expect_log_then_summary(outcome.out, summary_pattern(0, 0, 0));
}

TEST_F(ConsoleProcessTest, UnreadableConfigPrintsTheErrorReportAndNoSummary) {
  write_config("C:\\Photos\n\xff\xfe broken\n");
  const ChildOutcome outcome = run_tindral({"--console"});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err,
            "Error: Failed to read config.txt\n\nCaused by:\n    stream did not contain valid "
            "UTF-8\n");
  EXPECT_THAT(outcome.out, Not(HasSubstr("Scan complete:\n")));
  const std::vector<std::string> log_lines = lines_of(outcome.out);
  ASSERT_EQ(log_lines.size(), 2u) << outcome.out;
  EXPECT_THAT(log_lines[0], EndsWith("TindralService: Running in console mode"));
  EXPECT_THAT(log_lines[1], EndsWith("Press Ctrl+C to stop"));
}

TEST_F(ConsoleProcessTest, ColourStaysOnUnlessNoColorHoldsText) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"1", false}, {"yes", false}, {"", true}, {std::nullopt, true}};
  for (const auto& [no_color, escapes] : cases) {
    const ChildOutcome outcome = run_tindral({"--console"}, {{"NO_COLOR", no_color}});
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.out.find('\x1b') != std::string::npos, escapes)
        << "NO_COLOR=" << no_color.value_or("(absent)") << "\n"
        << outcome.out;
  }
}

TEST_F(ConsoleProcessTest, AnythingButTheExactOptionTakesTheServicePath) {
  const std::vector<std::vector<std::string>> cases = {
      {"--Console"}, {}, {"-console"}, {"/console"}, {"--console=1"}, {"other", "--console"}};
  for (const std::vector<std::string>& arguments : cases) {
    // Outside the Service Control Manager Wine fails the dispatcher call only after about ten
    // seconds; one case shows the path there.
    if (test_support::running_under_wine() && arguments != cases.front()) continue;
    const ChildOutcome outcome = run_tindral(arguments);
    const std::string shown = testing::PrintToString(arguments);
    EXPECT_EQ(outcome.exit_code, 1) << shown;
    EXPECT_THAT(outcome.err, StartsWith("Error: ")) << shown;
    EXPECT_THAT(outcome.err, HasSubstr("\n\nCaused by:\n    ")) << shown;
    EXPECT_THAT(outcome.out, Not(HasSubstr("Running in console mode"))) << shown;
    EXPECT_THAT(outcome.out, Not(HasSubstr("Scan complete:"))) << shown;
  }
}

}  // namespace
}  // namespace tindral
