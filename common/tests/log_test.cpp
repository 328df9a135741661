#include "log.h"
#include "log_targets.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/environment.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace tindral::log {
namespace {

using namespace std::chrono;
using test_support::LogCapture;
using test_support::LogEvent;
using test_support::ReportedEvent;
using testing::ElementsAre;

system_clock::time_point at(sys_days day, nanoseconds time_of_day) {
  return time_point_cast<system_clock::duration>(day + time_of_day);
}

// Removes each "ESC [ parameters m" sequence.
std::string strip_escapes(std::string_view line) {
  std::string plain;
  std::size_t position = 0;
  while (position < line.size()) {
    const std::size_t escape = line.find('\x1b', position);
    plain += line.substr(position, escape - position);
    if (escape == std::string_view::npos) break;
    position = line.find('m', escape);
    if (position != std::string_view::npos) ++position;
  }
  return plain;
}

const system_clock::time_point kSample = at(2026y / December / 7, 22h + 48min + 6s + 123456789ns);

TEST(LogTest, LineLayoutWithoutColour) {
  EXPECT_EQ(format_line(Level::Info, kTargetScanner, "Scan complete", kSample, false),
            "2026-12-07T22:48:06.123456Z  INFO TindralService::scanner: Scan complete\n");
}

TEST(LogTest, LevelNamesAreRightAlignedInFiveCharacters) {
  const std::pair<Level, std::string> cases[] = {
      {Level::Error, "ERROR"}, {Level::Warn, " WARN"},  {Level::Info, " INFO"},
      {Level::Debug, "DEBUG"}, {Level::Trace, "TRACE"},
  };
  for (const auto& [level, field] : cases) {
    EXPECT_EQ(format_line(level, kTargetService, "m", kSample, false),
              "2026-12-07T22:48:06.123456Z " + field + " TindralService: m\n");
  }
}

TEST(LogTest, TimestampIsZeroPaddedAndTruncatedToMicroseconds) {
  const std::pair<system_clock::time_point, std::string> cases[] = {
      {at(1999y / December / 31, 23h + 59min + 59s + 999999999ns), "1999-12-31T23:59:59.999999Z"},
      {at(2024y / February / 29, 0ns), "2024-02-29T00:00:00.000000Z"},
      {at(2031y / January / 2, 3h + 4min + 5s + 6000ns), "2031-01-02T03:04:05.000006Z"},
      {at(1970y / January / 1, 999ns), "1970-01-01T00:00:00.000000Z"},
  };
  for (const auto& [when, timestamp] : cases) {
    EXPECT_EQ(format_line(Level::Warn, kTargetServiceImpl, "x", when, false),
              timestamp + "  WARN TindralService::service_impl: x\n");
  }
}

TEST(LogTest, ColourWrapsTimestampLevelAndTargetInEscapes) {
  const std::string plain =
      format_line(Level::Error, kTargetService, "Service error: x: y", kSample, false);
  const std::string coloured =
      format_line(Level::Error, kTargetService, "Service error: x: y", kSample, true);
  EXPECT_EQ(strip_escapes(coloured), plain);
  const std::regex layout(
      "\x1b\\[[0-9;]+m2026-12-07T22:48:06\\.123456Z\x1b\\[0m "
      "\x1b\\[[0-9;]+mERROR\x1b\\[0m "
      "\x1b\\[[0-9;]+mTindralService\x1b\\[0m: Service error: x: y\n");
  EXPECT_TRUE(std::regex_match(coloured, layout)) << testing::PrintToString(coloured);
  // Different levels are told apart by colour, not only by name.
  const std::string warn = format_line(Level::Warn, kTargetService, "m", kSample, true);
  const std::string info = format_line(Level::Info, kTargetService, "m", kSample, true);
  EXPECT_NE(warn.substr(0, warn.find("WARN")), info.substr(0, info.find("INFO")));
}

// The event sink gets warnings and errors only, whether they come as structured events or are
// handed to it alone (the worker's informational lines that need an administrator).
TEST(LogTest, ThresholdDropsDebugAndTraceAndOnlyWarningsAndErrorsReachTheEventSink) {
  LogCapture capture;
  emit(Level::Trace, kTargetScanner, "trace");
  debug(kTargetScanner, "Scanning root: C:\\Data");
  info(kTargetServiceImpl, "Tindral Service started");
  warn(kTargetScanner, "Root path does not exist: D:\\Gone");
  error(kTargetService, "Service error: boom");
  report_event(Level::Error, "Scan error: Failed to read config.txt");
  report_event(Level::Info, "not for the event log");
  EXPECT_THAT(
      capture.events(),
      ElementsAre(
          LogEvent{Level::Info, "TindralService::service_impl", "Tindral Service started"},
          LogEvent{Level::Warn, "TindralService::scanner", "Root path does not exist: D:\\Gone"},
          LogEvent{Level::Error, "TindralService", "Service error: boom"}));
  EXPECT_THAT(capture.reported(),
              ElementsAre(ReportedEvent{Level::Warn, "Root path does not exist: D:\\Gone"},
                          ReportedEvent{Level::Error, "Service error: boom"},
                          ReportedEvent{Level::Error, "Scan error: Failed to read config.txt"}));
}

TEST(LogTest, CapturedLinesCarryTheCurrentTimeWithoutColour) {
  LogCapture capture;
  const auto before = floor<seconds>(system_clock::now());
  info(kTargetService, "now");
  const auto after = system_clock::now();
  const std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find('\x1b'), std::string::npos);
  // The line's timestamp lies between the two readings; compared at whole seconds so that the
  // test does not depend on sub-second formatting, which the layout tests cover.
  const std::string earliest = format_line(Level::Info, kTargetService, "now", before, false);
  const std::string latest = format_line(Level::Info, kTargetService, "now", after, false);
  EXPECT_LE(earliest.substr(0, 19), lines[0].substr(0, 19));
  EXPECT_GE(latest.substr(0, 19), lines[0].substr(0, 19));
}

TEST(LogTest, InnerCaptureTakesOverAndHandsBack) {
  LogCapture outer;
  info(kTargetService, "one");
  {
    LogCapture inner;
    info(kTargetService, "two");
    EXPECT_THAT(inner.messages(), ElementsAre("two"));
  }
  info(kTargetService, "three");
  EXPECT_THAT(outer.messages(), ElementsAre("one", "three"));
}

TEST(LogTest, NoColorDisablesColourOnlyWhenSetToNonEmptyText) {
  {
    test_support::ScopedEnv no_color("NO_COLOR", std::nullopt);
    EXPECT_TRUE(color_enabled_by_environment());
  }
  {
    test_support::ScopedEnv no_color("NO_COLOR", "");
    EXPECT_TRUE(color_enabled_by_environment());
  }
  {
    test_support::ScopedEnv no_color("NO_COLOR", "1");
    EXPECT_FALSE(color_enabled_by_environment());
  }
  {
    test_support::ScopedEnv no_color("NO_COLOR", "false");
    EXPECT_FALSE(color_enabled_by_environment());
  }
  {
    // An unpaired surrogate: not valid Unicode as a POSIX byte string or as UTF-16.
    test_support::ScopedEnv no_color("NO_COLOR", "\xED\xA0\x80");
    ASSERT_EQ(platform::get_env("NO_COLOR").state, platform::EnvValue::State::NotUnicode);
    EXPECT_TRUE(color_enabled_by_environment());
  }
}

// Each thread logs lines made of its own letter; a line mixing letters or cut short would show
// that two writes interleaved.
void emit_from_threads(int thread_count, int lines_per_thread, std::size_t message_size) {
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      const std::string message(message_size, static_cast<char>('a' + t));
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < lines_per_thread; ++i) info(kTargetScanner, message);
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
}

void expect_whole_lines(const std::vector<std::string>& messages, int thread_count,
                        int lines_per_thread, std::size_t message_size) {
  std::vector<int> per_thread(static_cast<std::size_t>(thread_count), 0);
  for (const std::string& message : messages) {
    ASSERT_EQ(message.size(), message_size);
    ASSERT_EQ(message.find_first_not_of(message[0]), std::string::npos) << "interleaved line";
    const int thread = message[0] - 'a';
    ASSERT_TRUE(thread >= 0 && thread < thread_count);
    ++per_thread[static_cast<std::size_t>(thread)];
  }
  EXPECT_THAT(per_thread, testing::Each(lines_per_thread));
}

TEST(LogTest, LinesFromSeveralThreadsNeverInterleave) {
  constexpr int kThreads = 6;
  constexpr int kLines = 200;
  constexpr std::size_t kSize = 1500;
  LogCapture capture;
  emit_from_threads(kThreads, kLines, kSize);
  expect_whole_lines(capture.messages(), kThreads, kLines, kSize);
}

// The only test that installs the process-wide log, since installing is once per process.
TEST(LogTest, InstallsOnceAndWritesWholeLinesToStandardOutput) {
  constexpr int kThreads = 4;
  std::atomic<int> installed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      if (init_logging()) ++installed;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(installed.load(), 1);
  EXPECT_FALSE(init_logging());

  constexpr int kLines = 100;
  constexpr std::size_t kSize = 3000;  // beyond a pipe's atomic write size
  testing::internal::CaptureStdout();
  emit_from_threads(kThreads, kLines, kSize);
  debug(kTargetScanner, "dropped");
  const std::string output = testing::internal::GetCapturedStdout();

  const bool coloured = color_enabled_by_environment();
  std::vector<std::string> messages;
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = output.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated line";
    const std::string line = output.substr(start, end + 1 - start);
    start = end + 1;
    EXPECT_EQ(line.find('\x1b') != std::string::npos, coloured);
    const std::string plain = strip_escapes(line);
    const std::string prefix = "  INFO TindralService::scanner: ";
    ASSERT_EQ(plain.substr(27, prefix.size()), prefix) << plain.substr(0, 80);
    const std::size_t message_start = 27 + prefix.size();
    messages.push_back(plain.substr(message_start, plain.size() - 1 - message_start));
  }
  expect_whole_lines(messages, kThreads, kLines, kSize);
}

}  // namespace
}  // namespace tindral::log
