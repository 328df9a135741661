#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tindral::log {

/// Severity of an event, most severe first.
enum class Level { Error, Warn, Info, Debug, Trace };

/// One log line: UTC timestamp with microseconds, the level right-aligned in five characters,
/// the target, ": ", the message and a line feed; with `color`, ANSI escapes around the
/// timestamp, level and target.
std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::chrono::system_clock::time_point when, bool color);

/// Where formatted lines go.
class Sink {
 public:
  virtual ~Sink() = default;
  /// Writes one whole line; never fails towards the caller.
  virtual void write_line(std::string_view line) = 0;
};

/// Whether the process-wide log colours its lines: yes unless NO_COLOR is set to a non-empty
/// text (an empty value or one that is not valid Unicode leaves colour on).
bool color_enabled_by_environment();

/// Installs the process-wide log writing to standard output, with colour unless NO_COLOR is set
/// to a non-empty text. Returns false when a process-wide log is already installed.
bool init_logging();

/// Emits an event from any thread. Events below the informational level are dropped. Before
/// init_logging (and in tests without a capture) events are dropped.
void emit(Level level, std::string_view target, std::string_view message);

inline void error(std::string_view target, std::string_view message) {
  emit(Level::Error, target, message);
}
inline void warn(std::string_view target, std::string_view message) {
  emit(Level::Warn, target, message);
}
inline void info(std::string_view target, std::string_view message) {
  emit(Level::Info, target, message);
}
inline void debug(std::string_view target, std::string_view message) {
  emit(Level::Debug, target, message);
}

/// Where warnings and errors go besides the structured log: to whoever watches the machine
/// rather than the process (the service puts the system's event log here, tests a recorder).
class EventSink {
 public:
  virtual ~EventSink() = default;
  /// Takes one message at the warning or error level; never fails towards the caller.
  virtual void report(Level level, std::string_view message) = 0;
};

/// While alive, events at the warning and error levels (and report_event's) also go to `sink`.
/// Without one (console runs, tools, tests that install none) they go nowhere else.
class ScopedEventSink {
 public:
  explicit ScopedEventSink(EventSink& sink);
  ~ScopedEventSink();
  ScopedEventSink(const ScopedEventSink&) = delete;
  ScopedEventSink& operator=(const ScopedEventSink&) = delete;

 private:
  EventSink* previous_;
};

/// Hands a message to the event sink alone, at `level` (Warn or Error): for a line that is
/// informational in the structured log but a warning or an error to whoever watches the machine.
void report_event(Level level, std::string_view message);

/// For tests: while alive, events that pass the threshold are formatted without colour and
/// handed to `sink` instead of the installed log.
class ScopedSinkOverride {
 public:
  explicit ScopedSinkOverride(Sink& sink);
  ~ScopedSinkOverride();
  ScopedSinkOverride(const ScopedSinkOverride&) = delete;
  ScopedSinkOverride& operator=(const ScopedSinkOverride&) = delete;

 private:
  Sink* previous_;
};

}  // namespace tindral::log
