#include <algorithm>
#include <optional>
#include <vector>

#include "config/data_folder.h"
#include "config/data_folder_security.h"
#include "interval.h"
#include "line_file.h"
#include "platform/event_log.h"
#include "platform/installer_package.h"
#include "platform/process.h"
#include "request.h"
#include "service_name.h"
#include "stop.h"
#include "text.h"

namespace tindral::ctl {
namespace {

constexpr std::string_view kOwnName = "tindralctl";
constexpr std::string_view kServiceProgramName = "tindral";
constexpr std::string_view kDisplayName = "Tindral";
constexpr std::string_view kDescription =
    "Gives the folders below the roots in config.txt a folder icon (desktop.ini). Steered with "
    "tindralctl.";
// Separates the roots of --roots, as it separates the folders of PATH.
constexpr char kRootSeparator = ';';

// What --roots and --interval ask config.txt and settings.txt to start with. The MSI package
// passes its ROOTS and INTERVAL properties whether an administrator set them or not, so an empty
// value is no value.
struct InitialSettings {
  std::vector<std::string> roots;
  std::optional<std::uint32_t> interval;
};

// The file `name` in the folder of `file`.
Path sibling(const Path& file, std::string_view name) {
  const Path folder = file.parent();
  return folder.empty() ? Path(std::string(name)) : folder.child(name);
}

// The service's program lies beside this one and is named like it without "ctl" (with the
// same ".exe" on Windows).
Result<Path> service_program() {
  Result<Path> own = platform::current_executable();
  if (!own) return std::move(own).error();
  const std::string& bytes = own->bytes();
  const std::size_t name_at = bytes.rfind(kOwnName);
  if (name_at == std::string::npos) {
    return Error("tindralctl was renamed to " + own->display() +
                 "; it finds the service's program by its own name");
  }
  return Path(bytes.substr(0, name_at) + std::string(kServiceProgramName) +
              bytes.substr(name_at + kOwnName.size()));
}

platform::ServiceDefinition definition(const Path& program) {
  const platform::EnvValue program_data = platform::service_environment_variable("ProgramData");
  return {std::string(SERVICE_NAME),
          std::string(kDisplayName),
          std::string(kDescription),
          program,
          {{"ProgramData", program_data.present() ? program_data.value
                                                  : std::string(platform::kDefaultProgramDataBase)},
           // The structured log goes to the journal, which shows no colours.
           {"NO_COLOR", "1"}}};
}

// What removes the installed service first: the package's removal where the package installed
// it, which also takes its files and its entry in the installed programs.
int refuse_reinstall() {
  Result<bool> by_package = platform::installed_by_package();
  if (!by_package) return fail(kExitFailed, by_package.error());
  return fail(kExitFailed,
              Error(*by_package ? "The MSI package installed it: Apps and Features (or msiexec "
                                  "/x) removes it first"
                                : "tindralctl uninstall removes it first")
                  .wrap("The service " + std::string(SERVICE_NAME) + " is installed already"));
}

// As the service makes it at every start (the folder and its missing ancestors, only
// administrators may change it, and so may every file in a folder that was open to others),
// with the icon every desktop.ini names: the administrator's own stays, any other is replaced.
int prepare_data_folder(Context& context, const Path& program) {
  const Path default_icon = sibling(program, kIconFileName);
  Result<DataFolderSecuring> securing =
      secure_data_folder(context.fs, context.data_folder, default_icon);
  if (!securing) {
    return fail(kExitFailed, securing.error().wrap("Failed to create the data folder"));
  }
  for (const std::string& line : data_folder_report(securing)) say(line);
  if (auto icon = ensure_default_icon(context.fs, context.data_folder, default_icon); !icon) {
    return fail(kExitFailed, icon.error());
  }
  return kExitOk;
}

// Each root is kept as written, %NAME% and all, for the service to expand at every scan; the
// empty entries between, before and after separators are dropped (the package ends the list with
// a separator, see tindral.wxs). A line break would smuggle in a second line of config.txt.
Result<std::vector<std::string>> parse_roots(std::string_view list) {
  std::vector<std::string> roots;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(kRootSeparator, start), list.size());
    const std::string_view root = text::trim(list.substr(start, end - start));
    if (root.find_first_of("\r\n") != std::string_view::npos) {
      return Error("A root cannot hold a line break").wrap("Malformed roots");
    }
    if (!root.empty()) roots.emplace_back(root);
    start = end + 1;
  }
  return roots;
}

Result<InitialSettings> initial_settings(const Arguments& arguments) {
  InitialSettings settings;
  if (const std::optional<std::string> roots = arguments.value("--roots")) {
    Result<std::vector<std::string>> parsed = parse_roots(*roots);
    if (!parsed) return std::move(parsed).error();
    settings.roots = std::move(*parsed);
  }
  if (const std::optional<std::string> interval = arguments.value("--interval");
      interval && !interval->empty()) {
    Result<std::uint32_t> minutes = parse_interval(*interval);
    if (!minutes) return std::move(minutes).error();
    settings.interval = *minutes;
  }
  return settings;
}

// Only a file the install creates gets the values given: one that is there is an
// administrator's (or an earlier installation's) and stays as it is. Only administrators may
// write in the data folder, which prepare_data_folder has just made sure of, so nobody else can
// slip a file in between the test and the write.
Result<void> write_initial_settings(Context& context, const InitialSettings& settings) {
  if (!settings.roots.empty()) {
    const Path path = context.file(kConfigFileName);
    if (context.fs.exists(path)) {
      say("Kept the existing config.txt; the roots given were not written.");
    } else {
      LineFile config;
      for (const std::string& root : settings.roots) config.append(root);
      if (auto written = config.write(context.fs, path); !written) return written;
      say("Wrote config.txt with " + std::to_string(settings.roots.size()) +
          (settings.roots.size() == 1 ? " root." : " roots."));
    }
  }
  if (settings.interval) {
    if (context.fs.exists(context.file(kSettingsFileName))) {
      say("Kept the existing settings.txt; the interval given was not written.");
    } else {
      if (auto written = store_interval(context, *settings.interval); !written) return written;
      say("Wrote settings.txt with an interval of " + minutes_text(*settings.interval) + ".");
    }
  }
  return {};
}

void report_privilege_limit(platform::PrivilegeLimit limit) {
  if (limit == platform::PrivilegeLimit::Unsupported) {
    say("This service manager cannot limit a service's privileges; " + std::string(SERVICE_NAME) +
        " keeps all of its account's.");
  }
}

// The service's events in the system's event log show their text through the program's
// message table.
int register_event_source(const Path& program) {
  if (auto registered = platform::register_event_source(SERVICE_NAME, program); !registered) {
    return fail(kExitFailed, registered.error());
  }
  return kExitOk;
}

// The MSI package registers the entry itself and starts the service after this has run.
int configure_registered_service(Context& context, const Path& program) {
  Result<platform::PrivilegeLimit> configured = context.services.configure(definition(program));
  if (!configured) return fail(kExitFailed, configured.error());
  say("Configured the service " + std::string(SERVICE_NAME) + " (" + program.display() +
      ", automatic start).");
  report_privilege_limit(*configured);
  if (const int registered = register_event_source(program); registered != kExitOk) {
    return registered;
  }
  say("Data folder: " + context.data_folder.display());
  return kExitOk;
}

int run_install(Context& context, const Arguments& arguments) {
  const bool data_folder_only = arguments.has("--data-folder-only");
  const bool package = arguments.has("--package");
  const Result<InitialSettings> settings = initial_settings(arguments);
  if (!settings) return fail(kExitUsage, settings.error());
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  if (!installed) return fail(kExitFailed, installed.error());
  if (*installed && !data_folder_only && !package) return refuse_reinstall();
  Result<Path> program = service_program();
  if (!program || !context.fs.exists(*program)) {
    return fail(kExitFailed,
                (program ? Error(program->display() + " does not exist") : program.error())
                    .wrap("Failed to find the service's program beside tindralctl"));
  }
  if (const int prepared = prepare_data_folder(context, *program); prepared != kExitOk) {
    return prepared;
  }
  if (auto written = write_initial_settings(context, *settings); !written) {
    return fail(kExitFailed, written.error());
  }
  if (data_folder_only) {
    say("Data folder: " + context.data_folder.display());
    return kExitOk;
  }
  if (package) return configure_registered_service(context, *program);
  Result<platform::PrivilegeLimit> done = context.services.install(definition(*program));
  if (!done) return fail(kExitFailed, done.error());
  say("Installed the service " + std::string(SERVICE_NAME) + " (" + program->display() +
      ", automatic start).");
  report_privilege_limit(*done);
  if (const int registered = register_event_source(*program); registered != kExitOk) {
    return registered;
  }
  say("Data folder: " + context.data_folder.display());
  if (!arguments.has("--no-start")) {
    if (auto started = context.services.start(SERVICE_NAME); !started) {
      return fail(kExitFailed, started.error());
    }
    wait_until_started(context);
    say("Started it.");
  }
  say("Next: tindralctl roots add FOLDER, then tindralctl rescan --wait.");
  return kExitOk;
}

}  // namespace

const Command& install_command() {
  static const Command command{
      "install",
      "install [--no-start | --data-folder-only | --package] [--roots LIST] [--interval MINUTES]",
      "Install the service and its data folder, and start it.",
      "Registers TindralCache with the service manager (Windows: automatic start as\n"
      "LocalSystem, restarted a minute after a failure, only the privileges it uses, and the\n"
      "event source TindralCache in the Application log; Linux: the systemd unit TindralCache),\n"
      "the program being the tindral beside tindralctl. Creates the data folder and copies the\n"
      "default folder.ico beside tindralctl into it unless one is there. --roots writes the\n"
      "roots of LIST, separated by ';' and kept as written (%USERPROFILE% and all), into a new\n"
      "config.txt, --interval a new settings.txt; a file that is there is kept as it is.\n"
      "--no-start leaves the service stopped until tindralctl start, the next boot or tindralctl\n"
      "rescan --wait.\n"
      "--data-folder-only prepares the data folder and registers nothing. --package is what the\n"
      "installer package runs once it has registered the service itself: the data folder, then\n"
      "the service's settings beyond its entry and the event source; the package starts it.\n",
      {"--no-start", "--data-folder-only", "--package", kQuietOption},
      {"--roots", "--interval"},
      0,
      0,
      {.elevation = true, .installed_service = false, .data_folder = false},
      run_install};
  return command;
}

}  // namespace tindral::ctl
