#include "config/flags.h"
#include "request.h"

namespace tindral::ctl {
namespace {

int run_rescan(Context& context, const Arguments& arguments) {
  return run_request(context, arguments,
                     {kRescanFlagName,
                      "rescan",
                      "On-demand rescan triggered",
                      {"Scan complete: "},
                      {"Scan error: "}});
}

}  // namespace

const Command& rescan_command() {
  static const Command command{
      "rescan",
      "rescan [--wait [--timeout SECONDS]]",
      "Scan the roots now, not at the next interval (creates rescan.flag).",
      "The service takes the flag up at the end of its current 30-second pause. With --wait,\n"
      "tindralctl starts a stopped service, waits for the scan's line in service.log (at most\n"
      "--timeout seconds, 600 unless given), prints it and, on Windows, tells Explorer that the\n"
      "root folders changed so that open windows show the icons. A paused service does not\n"
      "rescan: --wait then ends at once with code 1 and the flag waits for tindralctl resume.\n",
      {"--wait", kQuietOption},
      {"--timeout"},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = true},
      run_rescan};
  return command;
}

}  // namespace tindral::ctl
