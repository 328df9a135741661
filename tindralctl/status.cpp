#include <algorithm>
#include <optional>

#include "config/data_folder.h"
#include "config/flags.h"
#include "config/settings.h"
#include "interval.h"
#include "json.h"
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

std::vector<std::string_view> waiting_flags(Context& context) {
  std::vector<std::string_view> waiting;
  for (std::string_view flag : kRequestFlags) {
    if (context.fs.exists(context.file(flag))) waiting.push_back(flag);
  }
  return waiting;
}

bool is_paused(Context& context) { return context.fs.exists(context.file(kPausedFlagName)); }

void show_flags(Context& context) {
  say(std::string("Paused: ") + (is_paused(context) ? "yes (tindralctl resume ends it)" : "no"));
  std::string waiting;
  for (std::string_view flag : waiting_flags(context)) {
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

// settings.txt without an interval, or unreadable, leaves the service at the default.
std::uint32_t interval_minutes(const Result<Settings>& settings) {
  const std::uint32_t interval = settings ? settings->interval : 0;
  return interval == 0 ? default_settings().interval : interval;
}

void show_interval(Context& context) {
  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  const std::uint32_t minutes = interval_minutes(settings);
  say("Interval: " + minutes_text(minutes) +
      (settings ? "" : " (settings.txt unreadable: the default)"));
}

const std::string* last_scan(const std::vector<std::string>& lines) {
  return last_line_starting(lines, {"Initial scan complete: ", "Scan complete: ", "Scan error: "});
}

const std::string* last_cleanup(const std::vector<std::string>& lines) {
  return last_line_starting(lines, {"Cleanup complete: ", "Cleanup error: "});
}

void show_last_work(Context& context) {
  Result<std::vector<std::string>> lines =
      read_service_log(context.fs, context.file(kServiceLogFileName));
  if (!lines) {
    say("service.log: " + lines.error().message());
    return;
  }
  const std::string* scan = last_scan(*lines);
  const std::string* cleanup = last_cleanup(*lines);
  say("Last scan: " + (scan != nullptr ? *scan : std::string("none in service.log")));
  say("Last cleanup: " + (cleanup != nullptr ? *cleanup : std::string("none in service.log")));
}

// Where each root's changes come from, as the service said it in `lines` of service.log since
// its latest start; nothing while settings.txt says watch=off.
std::vector<WatchedRootSource> watch_sources(const Result<Settings>& settings,
                                             const Result<std::vector<std::string>>& lines) {
  if ((settings && !settings->watch) || !lines) return {};
  std::vector<WatchedRootSource> roots;
  for (const std::string& line : *lines) {
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
  return roots;
}

void show_change_watching(Context& context) {
  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  if (settings && !settings->watch) {
    say("Change watching: not watched (watch=off in settings.txt)");
    return;
  }
  const std::vector<WatchedRootSource> roots =
      watch_sources(settings, read_service_log(context.fs, context.file(kServiceLogFileName)));
  if (roots.empty()) say("Change watching: not watched");
  for (const WatchedRootSource& root : roots) {
    say("Change watching: " + root.root + ": " + root.source);
  }
}

// The service manager's state as status --json names it.
std::string_view state_name(platform::ServiceState state) {
  switch (state) {
    case platform::ServiceState::Stopped:
      return "stopped";
    case platform::ServiceState::StartPending:
      return "starting";
    case platform::ServiceState::StopPending:
      return "stopping";
    case platform::ServiceState::Running:
      return "running";
    case platform::ServiceState::Other:
      return "other";
    case platform::ServiceState::Unknown:
      break;
  }
  return "unknown";
}

// Returns whether the service is installed, as show_service does.
bool add_service_json(Context& context, JsonObject& status) {
  JsonObject service;
  service.add("name", SERVICE_NAME);
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  Result<platform::ServiceState> state = Error("not installed");
  if (installed && *installed) state = context.services.state(SERVICE_NAME);
  if (!installed) {
    service.add_null("installed").add_null("state").add("error", installed.error().message());
  } else if (!*installed) {
    service.add("installed", false).add("state", "not_installed").add_null("error");
  } else if (!state) {
    service.add("installed", true).add_null("state").add("error", state.error().message());
  } else {
    service.add("installed", true).add("state", state_name(*state)).add_null("error");
  }
  status.add_json("service", service.text());
  return installed && *installed;
}

template <class T>
std::optional<std::string> error_of(const Result<T>& result) {
  if (result) return std::nullopt;
  return result.error().message();
}

JsonObject log_line_json(const std::string& line) {
  return JsonObject().add("time", log_time(line)).add("message", log_message(line));
}

void add_data_folder_json(Context& context, JsonObject& status) {
  JsonArray flags;
  for (std::string_view flag : waiting_flags(context)) flags.add(flag);
  status.add("paused", is_paused(context)).add_json("flags", flags.text());

  Result<Settings> settings = load_settings(context.fs, context.file(kSettingsFileName));
  Result<std::vector<std::string>> lines =
      read_service_log(context.fs, context.file(kServiceLogFileName));

  Result<std::vector<RootReport>> reports = report_roots(context);
  const std::vector<WatchedRootSource> sources = watch_sources(settings, lines);
  JsonArray roots;
  for (const RootReport& report : reports ? *reports : std::vector<RootReport>{}) {
    JsonObject root = root_json(report);
    const auto source = std::find_if(sources.begin(), sources.end(), [&](const auto& watched) {
      return watched.root == report.root.text;
    });
    if (source != sources.end()) root.add("watch", source->source);
    roots.add_json(root.text());
  }
  status.add_json("roots", reports ? roots.text() : "null");
  status.add_or_null("roots_error", error_of(reports));

  status.add("interval_minutes", std::uint64_t{interval_minutes(settings)});
  status.add_or_null("settings_error", error_of(settings));

  const std::string* scan = lines ? last_scan(*lines) : nullptr;
  const std::string* cleanup = lines ? last_cleanup(*lines) : nullptr;
  status.add_json("last_scan", scan != nullptr ? log_line_json(*scan).text() : "null");
  status.add_json("last_cleanup", cleanup != nullptr ? log_line_json(*cleanup).text() : "null");
  status.add_or_null("log_error", error_of(lines));
}

// The keys a missing data folder leaves unknown, present all the same, so that every status
// has the same shape.
constexpr std::string_view kDataFolderKeys[] = {
    "paused",         "flags",     "roots",        "roots_error", "interval_minutes",
    "settings_error", "last_scan", "last_cleanup", "log_error"};

int run_status_json(Context& context) {
  JsonObject status;
  const bool installed = add_service_json(context, status);
  const bool data_folder = context.fs.exists(context.data_folder);
  status.add_json(
      "data_folder",
      JsonObject().add("path", context.data_folder.bytes()).add("exists", data_folder).text());
  if (data_folder) {
    add_data_folder_json(context, status);
  } else {
    for (std::string_view key : kDataFolderKeys) status.add_null(key);
  }
  say(status.text());
  if (!installed) return kExitNotInstalled;
  return data_folder ? kExitOk : kExitNoDataFolder;
}

int run_status(Context& context, const Arguments& arguments) {
  if (arguments.has("--json")) return run_status_json(context);
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
      "status [--json]",
      "Show the state, pause, flags, roots, interval and last work.",
      "Exits with 4 when the service is not installed and 5 when the data folder is missing,\n"
      "after showing what there is. Needs no administrator.\n"
      "--json prints the same as one JSON object (the README describes its keys).\n",
      {"--json"},
      {},
      0,
      0,
      {},
      run_status};
  return command;
}

}  // namespace tindral::ctl
