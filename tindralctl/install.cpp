#include <thread>

#include "config/data_folder.h"
#include "config/data_folder_security.h"
#include "platform/process.h"
#include "request.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

constexpr std::string_view kOwnName = "tindralctl";
constexpr std::string_view kServiceProgramName = "tindral";
constexpr std::string_view kDisplayName = "Tindral";
constexpr std::string_view kDescription =
    "Gives the folders below the roots in config.txt a folder icon (desktop.ini). Steered with "
    "tindralctl.";
constexpr std::chrono::seconds kStartTimeout{30};
constexpr std::chrono::milliseconds kStatePollInterval{250};

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

void wait_until_running(Context& context) {
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
    if (!state || *state != platform::ServiceState::StartPending) return;
    std::this_thread::sleep_for(kStatePollInterval);
  }
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

int run_install(Context& context, const Arguments& arguments) {
  const bool data_folder_only = arguments.has("--data-folder-only");
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  if (!installed) return fail(kExitFailed, installed.error());
  if (*installed && !data_folder_only) {
    return fail(kExitFailed,
                Error("tindralctl uninstall removes it first")
                    .wrap("The service " + std::string(SERVICE_NAME) + " is installed already"));
  }
  Result<Path> program = service_program();
  if (!program || !context.fs.exists(*program)) {
    return fail(kExitFailed,
                (program ? Error(program->display() + " does not exist") : program.error())
                    .wrap("Failed to find the service's program beside tindralctl"));
  }
  if (const int prepared = prepare_data_folder(context, *program); prepared != kExitOk) {
    return prepared;
  }
  if (data_folder_only) {
    say("Data folder: " + context.data_folder.display());
    return kExitOk;
  }
  if (auto done = context.services.install(definition(*program)); !done) {
    return fail(kExitFailed, done.error());
  }
  say("Installed the service " + std::string(SERVICE_NAME) + " (" + program->display() +
      ", automatic start).");
  say("Data folder: " + context.data_folder.display());
  if (!arguments.has("--no-start")) {
    if (auto started = context.services.start(SERVICE_NAME); !started) {
      return fail(kExitFailed, started.error());
    }
    wait_until_running(context);
    say("Started it.");
  }
  say("Next: tindralctl roots add FOLDER, then tindralctl rescan --wait.");
  return kExitOk;
}

}  // namespace

const Command& install_command() {
  static const Command command{
      "install",
      "install [--no-start | --data-folder-only]",
      "Install the service and its data folder, and start it.",
      "Registers TindralCache with the service manager (Windows: automatic start as\n"
      "LocalSystem, restarted a minute after a failure; Linux: the systemd unit TindralCache),\n"
      "the program being the tindral beside tindralctl. Creates the data folder and copies the\n"
      "default folder.ico beside tindralctl into it unless one is there. --no-start leaves the\n"
      "service stopped until the next boot or tindralctl rescan --wait. --data-folder-only\n"
      "prepares the data folder and its icon and registers nothing (the MSI package registers\n"
      "the service itself and runs this).\n",
      {"--no-start", "--data-folder-only"},
      {},
      0,
      0,
      {.elevation = true, .installed_service = false, .data_folder = false},
      run_install};
  return command;
}

}  // namespace tindral::ctl
