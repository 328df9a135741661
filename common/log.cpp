#include "log.h"

#include <atomic>
#include <mutex>

#include "platform/console.h"
#include "platform/environment.h"

namespace tindral::log {

namespace {

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

constexpr Level kThreshold = Level::Info;

bool passes_threshold(Level level) { return level <= kThreshold; }

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return " WARN";
    case Level::Info:
      return " INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "";
}

std::string_view level_color(Level level) {
  switch (level) {
    case Level::Error:
      return "\x1b[31m";
    case Level::Warn:
      return "\x1b[33m";
    case Level::Info:
      return "\x1b[32m";
    case Level::Debug:
      return "\x1b[34m";
    case Level::Trace:
      return "\x1b[35m";
  }
  return "";
}

void append_zero_padded(std::string& out, long long value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

// Calendar arithmetic on the system clock rather than gmtime, which is not thread-safe and whose
// Windows runtime twin misreads TZ under Wine.
void append_timestamp(std::string& out, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto micros = floor<microseconds>(when);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss time{micros - day};
  append_zero_padded(out, static_cast<int>(date.year()), 4);
  out += '-';
  append_zero_padded(out, static_cast<unsigned>(date.month()), 2);
  out += '-';
  append_zero_padded(out, static_cast<unsigned>(date.day()), 2);
  out += 'T';
  append_zero_padded(out, time.hours().count(), 2);
  out += ':';
  append_zero_padded(out, time.minutes().count(), 2);
  out += ':';
  append_zero_padded(out, time.seconds().count(), 2);
  out += '.';
  append_zero_padded(out, time.subseconds().count(), 6);
  out += 'Z';
}

void append_styled(std::string& out, std::string_view style, bool color, std::string_view content) {
  if (color) out += style;
  out += content;
  if (color) out += kReset;
}

/// Standard output, one whole line per write. The lock keeps lines of different threads apart
/// even where the stream itself would not.
class StdoutSink final : public Sink {
 public:
  void write_line(std::string_view line) override {
    std::lock_guard lock(mutex_);
    platform::write_stdout(line);
  }

 private:
  std::mutex mutex_;
};

/// The process-wide log; once installed it lives until the process ends.
struct InstalledLog {
  bool color;
  StdoutSink sink;
};

std::once_flag g_install_once;
std::atomic<InstalledLog*> g_installed{nullptr};
std::atomic<Sink*> g_override{nullptr};
std::atomic<EventSink*> g_event_sink{nullptr};

bool goes_to_event_sink(Level level) { return level == Level::Error || level == Level::Warn; }

}  // namespace

std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::chrono::system_clock::time_point when, bool color) {
  std::string line;
  line.reserve(64 + target.size() + message.size());
  std::string timestamp;
  append_timestamp(timestamp, when);
  append_styled(line, kDim, color, timestamp);
  line += ' ';
  append_styled(line, level_color(level), color, level_name(level));
  line += ' ';
  append_styled(line, kDim, color, target);
  line += ": ";
  line += message;
  line += '\n';
  return line;
}

bool color_enabled_by_environment() {
  const platform::EnvValue no_color = platform::get_env("NO_COLOR");
  return !(no_color.present() && !no_color.value.empty());
}

bool init_logging() {
  bool installed_now = false;
  std::call_once(g_install_once, [&] {
    // Never destroyed, so that threads still logging while the process exits find it intact.
    auto* log = new InstalledLog{color_enabled_by_environment(), {}};
    if (log->color) platform::enable_console_colors();
    g_installed.store(log, std::memory_order_release);
    installed_now = true;
  });
  return installed_now;
}

void emit(Level level, std::string_view target, std::string_view message) {
  if (!passes_threshold(level)) return;
  const auto now = std::chrono::system_clock::now();
  if (Sink* capture = g_override.load(std::memory_order_acquire)) {
    capture->write_line(format_line(level, target, message, now, false));
  } else if (InstalledLog* installed = g_installed.load(std::memory_order_acquire)) {
    installed->sink.write_line(format_line(level, target, message, now, installed->color));
  }
  report_event(level, message);
}

void report_event(Level level, std::string_view message) {
  if (!goes_to_event_sink(level)) return;
  if (EventSink* sink = g_event_sink.load(std::memory_order_acquire)) sink->report(level, message);
}

ScopedEventSink::ScopedEventSink(EventSink& sink)
    : previous_(g_event_sink.exchange(&sink, std::memory_order_acq_rel)) {}

ScopedEventSink::~ScopedEventSink() { g_event_sink.store(previous_, std::memory_order_release); }

ScopedSinkOverride::ScopedSinkOverride(Sink& sink)
    : previous_(g_override.exchange(&sink, std::memory_order_acq_rel)) {}

ScopedSinkOverride::~ScopedSinkOverride() {
  g_override.store(previous_, std::memory_order_release);
}

}  // namespace tindral::log
