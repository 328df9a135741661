#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

int run_pause(Context& context, const Arguments& /*arguments*/) {
  if (auto created = create_flag(context, kPausedFlagName); !created) {
    return fail(kExitFailed, created.error());
  }
  say("paused.flag created: the service scans no more until tindralctl resume (a scan under way "
      "runs to its end).");
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
      {},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = true},
      run_pause};
  return command;
}

}  // namespace tindral::ctl
