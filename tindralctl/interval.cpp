#include <limits>
#include <vector>

#include "config/data_folder.h"
#include "config/settings.h"
#include "interval.h"
#include "line_file.h"
#include "request.h"
#include "text.h"

namespace tindral::ctl {
namespace {

constexpr std::string_view kIntervalKey = "interval";
// settings.txt's 0 stands for the default, which is no interval to ask for.
constexpr unsigned long long kMinimumMinutes = 1;

bool is_interval_line(std::string_view line) {
  const std::size_t equals = line.find('=');
  return equals != std::string_view::npos &&
         text::to_lower(text::trim(line.substr(0, equals))) == kIntervalKey;
}

int show_interval(Context& context) {
  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  if (!settings) return fail(kExitFailed, settings.error());
  const std::uint32_t minutes =
      settings->interval == 0 ? default_settings().interval : settings->interval;
  say("Rescan interval: " + minutes_text(minutes));
  return kExitOk;
}

int set_interval(Context& context, std::string_view argument) {
  const Result<std::uint32_t> minutes = parse_interval(argument);
  if (!minutes) return fail(kExitUsage, minutes.error());
  if (const int unmet = require_elevation("interval"); unmet != kExitOk) return unmet;
  if (auto saved = store_interval(context, *minutes); !saved) {
    return fail(kExitFailed, saved.error());
  }
  // A stopped service reads settings.txt when it starts; one that runs (or may) at its next pass.
  const ServiceLiveness liveness = service_liveness(context);
  const bool running = liveness == ServiceLiveness::Running || liveness == ServiceLiveness::Unknown;
  say("Rescan interval set to " + minutes_text(*minutes) + "; the service reads it " +
      (running ? "at its next pass." : "when it starts."));
  return kExitOk;
}

int run_interval(Context& context, const Arguments& arguments) {
  if (arguments.positional.empty()) return show_interval(context);
  return set_interval(context, arguments.positional[0]);
}

}  // namespace

Result<std::uint32_t> parse_interval(std::string_view text) {
  const std::optional<unsigned long long> minutes =
      parse_count(text, std::numeric_limits<std::uint32_t>::max());
  const std::string range = "MINUTES is a whole number from " + std::to_string(kMinimumMinutes) +
                            " to " + std::to_string(std::numeric_limits<std::uint32_t>::max());
  if (!minutes && !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
    return Error(range).wrap("Interval " + std::string(text) + " is out of range");
  }
  if (!minutes) return Error(range).wrap("Malformed interval " + std::string(text));
  if (*minutes < kMinimumMinutes) {
    return Error(range).wrap("Interval " + std::string(text) + " is out of range");
  }
  return static_cast<std::uint32_t>(*minutes);
}

std::string minutes_text(std::uint32_t minutes) {
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

Result<void> store_interval(Context& context, std::uint32_t minutes) {
  const Path path = context.file(kSettingsFileName);
  Result<LineFile> file = LineFile::read(context.fs, path);
  if (!file) return std::move(file).error();
  const std::string line = std::string(kIntervalKey) + "=" + std::to_string(minutes);
  std::vector<std::size_t> interval_lines;
  for (std::size_t index = 0; index < file->size(); ++index) {
    if (is_interval_line(file->text(index))) interval_lines.push_back(index);
  }
  if (interval_lines.empty()) {
    file->append(line);
  } else {
    // The first interval line takes the value where it stands; later ones would override it.
    file->replace(interval_lines.front(), line);
    for (std::size_t i = interval_lines.size(); i-- > 1;) file->erase(interval_lines[i]);
  }
  return file->write(context.fs, path);
}

const Command& interval_command() {
  static const Command command{
      "interval",
      "interval [MINUTES]",
      "Show or set the minutes between periodic rescans (settings.txt).",
      "Setting it rewrites settings.txt in one step, keeping its other lines, and needs an\n"
      "administrator. The service reads it at every pass: no restart is needed.\n",
      {kQuietOption},
      {},
      0,
      1,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_interval};
  return command;
}

}  // namespace tindral::ctl
