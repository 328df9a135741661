#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <utility>

namespace tindral::test_support {

namespace {

// "2026-12-07T22:48:06.123456Z": digits everywhere except these separators.
constexpr std::string_view kTimestampShape = "0000-00-00T00:00:00.000000Z";

bool has_timestamp_shape(std::string_view text) {
  if (text.size() != kTimestampShape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kTimestampShape[i] == '0' ? !digit : text[i] != kTimestampShape[i]) return false;
  }
  return true;
}

std::optional<log::Level> parse_level(std::string_view field) {
  constexpr std::array<std::pair<std::string_view, log::Level>, 5> kLevels{{
      {"ERROR", log::Level::Error},
      {" WARN", log::Level::Warn},
      {" INFO", log::Level::Info},
      {"DEBUG", log::Level::Debug},
      {"TRACE", log::Level::Trace},
  }};
  for (const auto& [name, level] : kLevels) {
    if (field == name) return level;
  }
  return std::nullopt;
}

std::optional<LogEvent> parse_line(std::string_view line) {
  const std::size_t timestamp_size = kTimestampShape.size();
  const std::size_t target_start = timestamp_size + 7;  // space, five-character level, space
  if (line.size() < target_start || line.back() != '\n') return std::nullopt;
  if (!has_timestamp_shape(line.substr(0, timestamp_size))) return std::nullopt;
  if (line[timestamp_size] != ' ' || line[target_start - 1] != ' ') return std::nullopt;
  const std::optional<log::Level> level = parse_level(line.substr(timestamp_size + 1, 5));
  if (!level) return std::nullopt;
  const std::size_t colon = line.find(": ", target_start);
  if (colon == std::string_view::npos) return std::nullopt;
  const std::size_t message_start = colon + 2;
  return LogEvent{*level, std::string(line.substr(target_start, colon - target_start)),
                  std::string(line.substr(message_start, line.size() - 1 - message_start))};
}

std::string_view level_label(log::Level level) {
  switch (level) {
    case log::Level::Error:
      return "ERROR";
    case log::Level::Warn:
      return "WARN";
    case log::Level::Info:
      return "INFO";
    case log::Level::Debug:
      return "DEBUG";
    case log::Level::Trace:
      return "TRACE";
  }
  return "?";
}

}  // namespace

void PrintTo(const LogEvent& event, std::ostream* out) {
  *out << "{" << level_label(event.level) << ", \"" << event.target << "\", \"" << event.message
       << "\"}";
}

void PrintTo(const ReportedEvent& event, std::ostream* out) {
  *out << "{" << level_label(event.level) << ", \"" << event.message << "\"}";
}

LogCapture::LogCapture() = default;

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<LogEvent> LogCapture::events() const {
  std::vector<LogEvent> events;
  for (const std::string& line : lines()) {
    if (std::optional<LogEvent> event = parse_line(line)) {
      events.push_back(std::move(*event));
    } else {
      ADD_FAILURE() << "not a log line: \"" << line << "\"";
    }
  }
  return events;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> messages;
  for (LogEvent& event : events()) messages.push_back(std::move(event.message));
  return messages;
}

void LogCapture::write_line(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<ReportedEvent> LogCapture::reported() const {
  std::lock_guard lock(mutex_);
  return reported_;
}

void LogCapture::report(log::Level level, std::string_view message) {
  std::lock_guard lock(mutex_);
  reported_.push_back({level, std::string(message)});
}

}  // namespace tindral::test_support
