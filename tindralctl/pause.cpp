#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

// Written again when it is there, so that a flag the service would not count (another
// account's file) becomes the administrators' own and the pause holds.
int run_pause(Context& context, const Arguments& /*arguments*/) {
  const bool paused_already = service_paused(context);
  if (auto created = create_flag(context, kPausedFlagName); !created) {
    return fail(kExitFailed, created.error());
  }
  if (paused_already) {
    say("The service is paused already (paused.flag); tindralctl resume ends the pause.");
  } else if (service_liveness(context) == ServiceLiveness::Stopped) {
    say("paused.flag created: when the service starts it does not scan until tindralctl "
        "resume.");
  } else {
    say("paused.flag created: the service scans no more until tindralctl resume (a scan under "
        "way runs to its end).");
  }
  return kExitOk;
}

}  // namespace

const Command& pause_command() {
  static const Command command{
      "pause",
      "pause",
      "Stop scanning until resume (creates paused.flag).",
      "While paused the service keeps running and serves stop and cleanup requests; rescan\n"
      "requests wait until tindralctl resume.\n",
      {kQuietOption},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = true},
      run_pause};
  return command;
}

}  // namespace tindral::ctl
