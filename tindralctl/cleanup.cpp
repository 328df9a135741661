#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

// The pause the cleanup leaves is the one thing an administrator must undo.
int run_cleanup(Context& context, const Arguments& arguments) {
  const int exit_code = run_request(context, arguments, cleanup_request());
  if (exit_code != kExitOk) return exit_code;
  say(arguments.has("--wait")
          ? "The service is paused now: tindralctl resume lets it scan again."
          : "After the cleanup the service stays paused: tindralctl resume lets it scan again.");
  return kExitOk;
}

}  // namespace

FlagRequest cleanup_request() {
  return {kCleanupFlagName,
          "cleanup",
          "Cleanup requested",
          {"Cleanup complete: "},
          {"Cleanup error: "}};
}

const Command& cleanup_command() {
  static const Command command{
      "cleanup",
      "cleanup [--wait [--timeout SECONDS]]",
      "Remove every desktop.ini the service wrote, then pause it.",
      "It creates cleanup.flag. The service removes its own desktop.ini files (never anybody\n"
      "else's) below every listed root, takes away the read-only attribute it gave their\n"
      "folders, and pauses itself: tindralctl resume lets it scan again. With --wait,\n"
      "tindralctl starts a stopped service, waits for the cleanup's line in service.log (at most\n"
      "--timeout seconds, 600 unless given), prints it and, on Windows, tells Explorer that the\n"
      "root folders changed. Run it before roots remove: a root no longer listed is not cleaned.\n",
      {"--wait", kQuietOption},
      {"--timeout"},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = true},
      run_cleanup};
  return command;
}

}  // namespace tindral::ctl
