#include "config/data_folder.h"
#include "config/flags.h"
#include "config/settings.h"
#include "interval.h"
#include "request.h"
#include "roots.h"
#include "service_log_reader.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

// The flags the service has not taken up yet; paused.flag is a state, shown on its own line.
constexpr std::string_view kRequestFlags[] = {kRescanFlagName, kCleanupFlagName, kStopFlagName};

// Returns whether the service is installed.
bool show_service(Context& context) {
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  if (!installed) {
    say("Service " + std::string(SERVICE_NAME) + ": " + installed.error().message());
    return false;
  }
  if (!*installed) {
    say("Service " + std::string(SERVICE_NAME) + ": not installed (tindralctl install)");
    return false;
  }
  Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
  say("Service " + std::string(SERVICE_NAME) + ": installed, " +
      (state ? std::string(platform::describe(*state)) : state.error().message()));
  return true;
}

void show_flags(Context& context) {
  say(std::string("Paused: ") + (context.fs.exists(context.file(kPausedFlagName))
                                     ? "yes (tindralctl resume ends it)"
                                     : "no"));
  std::string waiting;
  for (std::string_view flag : kRequestFlags) {
    if (!context.fs.exists(context.file(flag))) continue;
    waiting += (waiting.empty() ? "" : ", ") + std::string(flag);
  }
  say("Flags waiting: " + (waiting.empty() ? std::string("none") : waiting));
}

// Why the service scans no root now; nothing while it runs unpaused (or may: no service manager
// to ask).
std::string not_scanning_because(Context& context) {
  switch (service_liveness(context)) {
    case ServiceLiveness::NotInstalled:
      return "the service is not installed";
    case ServiceLiveness::Stopped:
      return "the service is stopped";
    case ServiceLiveness::Running:
    case ServiceLiveness::Unknown:
      break;
  }
  return service_paused(context) ? "the service is paused" : "";
}

void show_roots(Context& context) {
  Result<std::vector<std::string>> roots = describe_roots(context, not_scanning_because(context));
  if (!roots) {
    say("Roots (config.txt): " + roots.error().message());
    return;
  }
  say("Roots (config.txt):" + std::string(roots->empty() ? " none" : ""));
  for (const std::string& line : *roots) say(line);
}

void show_interval(Context& context) {
  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  const std::uint32_t interval = settings ? settings->interval : 0;
  const std::uint32_t minutes = interval == 0 ? default_settings().interval : interval;
  say("Interval: " + minutes_text(minutes) +
      (settings ? "" : " (settings.txt unreadable: the default)"));
}

void show_last_work(Context& context) {
  Result<std::vector<std::string>> lines =
      read_service_log(context.fs, context.file(kServiceLogFileName));
  if (!lines) {
    say("service.log: " + lines.error().message());
    return;
  }
  const std::string* scan =
      last_line_starting(*lines, {"Initial scan complete: ", "Scan complete: ", "Scan error: "});
  const std::string* cleanup =
      last_line_starting(*lines, {"Cleanup complete: ", "Cleanup error: "});
  say("Last scan: " + (scan != nullptr ? *scan : std::string("none in service.log")));
  say("Last cleanup: " + (cleanup != nullptr ? *cleanup : std::string("none in service.log")));
}

int run_status(Context& context, const Arguments& /*arguments*/) {
  const bool installed = show_service(context);
  const bool data_folder = context.fs.exists(context.data_folder);
  say("Data folder: " + context.data_folder.display() + (data_folder ? "" : " (missing)"));
  if (data_folder) {
    show_flags(context);
    show_roots(context);
    show_interval(context);
    show_last_work(context);
  }
  if (!installed) return kExitNotInstalled;
  return data_folder ? kExitOk : kExitNoDataFolder;
}

}  // namespace

const Command& status_command() {
  static const Command command{
      "status",
      "status",
      "Show the state, pause, flags, roots, interval and last work.",
      "Exits with 4 when the service is not installed and 5 when the data folder is missing,\n"
      "after showing what there is. Needs no administrator.\n",
      {},
      {},
      0,
      0,
      {},
      run_status};
  return command;
}

}  // namespace tindral::ctl
