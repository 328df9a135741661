#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

int run_resume(Context& context, const Arguments& /*arguments*/) {
  const Path flag = context.file(kPausedFlagName);
  if (!context.fs.exists(flag)) {
    say("The service is not paused.");
    return kExitOk;
  }
  if (auto removed = context.fs.delete_file(flag); !removed) {
    return fail(kExitFailed, removed.error().wrap("Failed to delete paused.flag"));
  }
  if (service_liveness(context) == ServiceLiveness::Stopped) {
    say("paused.flag deleted: the service scans when it starts (tindralctl start).");
  } else {
    say("paused.flag deleted: the service scans again (a waiting rescan.flag first, otherwise "
        "when the interval has passed).");
  }
  return kExitOk;
}

}  // namespace

const Command& resume_command() {
  static const Command command{"resume",
                               "resume",
                               "End a pause, also a cleanup's (deletes paused.flag).",
                               "",
                               {kQuietOption},
                               {},
                               0,
                               0,
                               {.elevation = true, .installed_service = true, .data_folder = true},
                               run_resume};
  return command;
}

}  // namespace tindral::ctl
