#include "config/flags.h"
#include "platform/event_log.h"
#include "request.h"
#include "service_name.h"
#include "stop.h"

namespace tindral::ctl {
namespace {

// Left behind, a flag would steer the next installation: the cleanup's paused.flag would keep
// it from ever scanning.
constexpr std::string_view kFlags[] = {kPausedFlagName, kRescanFlagName, kCleanupFlagName,
                                       kStopFlagName};

void forget_flags(Context& context) {
  for (std::string_view flag : kFlags)
    static_cast<void>(context.fs.delete_file(context.file(flag)));
}

int unregister_event_source() {
  if (auto removed = platform::unregister_event_source(SERVICE_NAME); !removed) {
    return fail(kExitFailed, removed.error());
  }
  return kExitOk;
}

// The MSI package runs this on its removal once the service has stopped, and deletes the entry
// itself: what the package's tindralctl install --package added beside it goes here.
int forget_package_service(Context& context) {
  if (context.fs.exists(context.data_folder)) forget_flags(context);
  if (const int removed = unregister_event_source(); removed != kExitOk) return removed;
  say("Removed the flags and the event source " + std::string(SERVICE_NAME) +
      "; the package removes the service.");
  return kExitOk;
}

int run_uninstall(Context& context, const Arguments& arguments) {
  if (arguments.has("--package")) return forget_package_service(context);
  int exit_code = kExitOk;
  const std::optional<std::chrono::seconds> timeout = wait_timeout(arguments, exit_code);
  if (!timeout) return exit_code;
  const bool data_folder = context.fs.exists(context.data_folder);
  if (!arguments.has("--keep-icons") && data_folder) {
    say("Removing the desktop.ini files first, so that none is left naming a missing icon.");
    exit_code = request_and_wait(context, cleanup_request(), /*wait=*/true, *timeout);
    if (exit_code != kExitOk) {
      say("Nothing was uninstalled; tindralctl uninstall --keep-icons uninstalls without the "
          "cleanup.");
      return exit_code;
    }
  }
  exit_code = stop_service(context, /*wait_for_flag=*/true);
  if (exit_code != kExitOk) return exit_code;
  if (data_folder) forget_flags(context);
  if (auto removed = context.services.remove(SERVICE_NAME); !removed) {
    return fail(kExitFailed, removed.error());
  }
  if (const int removed = unregister_event_source(); removed != kExitOk) return removed;
  say("Uninstalled the service " + std::string(SERVICE_NAME) + ".");
  if (data_folder) {
    say("The data folder " + context.data_folder.display() +
        " stays with config.txt, settings.txt, service.log and folder.ico; delete it to remove "
        "them too.");
  }
  return kExitOk;
}

}  // namespace

const Command& uninstall_command() {
  static const Command command{
      "uninstall",
      "uninstall [--keep-icons] [--timeout SECONDS] | uninstall --package",
      "Remove the desktop.ini files the service wrote, then the service.",
      "The cleanup runs through the service (started for it if it is stopped) and is waited\n"
      "for, at most --timeout seconds (600 unless given); if it does not finish, nothing is\n"
      "removed. --keep-icons skips it and leaves the desktop.ini files in place. The service's\n"
      "event source goes with it; the data folder stays. --package is what an installer\n"
      "package runs on its removal, after its own cleanup and before it deletes the service\n"
      "itself: it deletes the flags and the event source only.\n",
      {"--keep-icons", "--package", kQuietOption},
      {"--timeout"},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = false},
      run_uninstall};
  return command;
}

}  // namespace tindral::ctl
