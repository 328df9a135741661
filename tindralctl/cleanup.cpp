#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

int run_cleanup(Context& context, const Arguments& arguments) {
  return run_request(context, arguments, cleanup_request());
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
      "Remove every desktop.ini the service wrote, then pause it (creates cleanup.flag).",
      "The service removes its own desktop.ini files (never anybody else's) below every root,\n"
      "takes away the read-only attribute it gave their folders, and pauses itself: tindralctl "
      "resume\n"
      "lets it scan again. With --wait, tindralctl starts a stopped service, waits for the\n"
      "cleanup's line in service.log (at most --timeout seconds, 600 unless given), prints it\n"
      "and, on Windows, tells Explorer that the root folders changed.\n",
      {"--wait"},
      {"--timeout"},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = true},
      run_cleanup};
  return command;
}

}  // namespace tindral::ctl
