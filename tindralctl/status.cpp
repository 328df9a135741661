#include <algorithm>
#include <optional>

#include "config/data_folder.h"
#include "config/flags.h"
#include "config/settings.h"
#include "request.h"
#include "roots.h"
#include "service_log_reader.h"
#include "service_name.h"
#include "watching_message.h"

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

void show_roots(Context& context) {
  Result<std::vector<std::string>> roots = describe_roots(context);
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
  say("Interval: " + std::to_string(minutes) + " minutes" +
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

// Where each root's changes come from, as the service said it last since its latest start.
void show_change_watching(Context& context) {
  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  if (settings && !settings->watch) {
    say("Change watching: not watched (watch=off in settings.txt)");
    return;
  }
  Result<std::vector<std::string>> lines =
      read_service_log(context.fs, context.file(kServiceLogFileName));
  std::vector<WatchedRootSource> roots;
  for (const std::string& line : lines ? *lines : std::vector<std::string>()) {
    const std::string_view message = log_message(line);
    if (message == "Tindral Service started") roots.clear();
    std::optional<WatchedRootSource> watched = parse_watching_message(message);
    if (!watched) continue;
    auto same = std::find_if(roots.begin(), roots.end(), [&](const WatchedRootSource& root) {
      return root.root == watched->root;
    });
    if (same == roots.end()) {
      roots.push_back(*std::move(watched));
    } else {
      same->source = watched->source;
    }
  }
  if (roots.empty()) say("Change watching: not watched");
  for (const WatchedRootSource& root : roots) {
    say("Change watching: " + root.root + ": " + root.source);
  }
}

int run_status(Context& context, const Arguments& /*arguments*/) {
  const bool installed = show_service(context);
  const bool data_folder = context.fs.exists(context.data_folder);
  say("Data folder: " + context.data_folder.display() + (data_folder ? "" : " (missing)"));
  if (data_folder) {
    show_flags(context);
    show_roots(context);
    show_interval(context);
    show_change_watching(context);
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
      "Show the service's state, pause, waiting flags, roots, interval and last work.",
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
