#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"

namespace tindral::test_support {

/// One captured log line taken apart.
struct LogEvent {
  log::Level level;
  std::string target;
  std::string message;
  friend bool operator==(const LogEvent&, const LogEvent&) = default;
};

/// Readable output of a LogEvent in GoogleTest failure messages.
void PrintTo(const LogEvent& event, std::ostream* out);

/// A message handed to the event sink: its level and text.
struct ReportedEvent {
  log::Level level;
  std::string message;
  friend bool operator==(const ReportedEvent&, const ReportedEvent&) = default;
};

/// Readable output of a ReportedEvent in GoogleTest failure messages.
void PrintTo(const ReportedEvent& event, std::ostream* out);

/// Records every log line emitted while it lives, from any thread, instead of writing them to
/// standard output, and what went to the event sink. Lines arrive without colour and pass the
/// log's level threshold first.
class LogCapture final : public log::Sink, public log::EventSink {
 public:
  LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// The lines exactly as the log formatted them, line feed included, in arrival order.
  std::vector<std::string> lines() const;
  /// The lines as (level, target, message); a line that does not have the log's layout fails
  /// the current test and is left out.
  std::vector<LogEvent> events() const;
  /// Only the messages, in arrival order.
  std::vector<std::string> messages() const;

  /// What went to the event sink, in arrival order.
  std::vector<ReportedEvent> reported() const;

  void write_line(std::string_view line) override;
  void report(log::Level level, std::string_view message) override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<ReportedEvent> reported_;
  // Last: they stop delivering before the records go.
  log::ScopedSinkOverride override_{*this};
  log::ScopedEventSink event_override_{*this};
};

}  // namespace tindral::test_support
