#include "stop.h"

#include <thread>

#include "config/data_folder.h"
#include "request.h"
#include "service_log_reader.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

using std::chrono::seconds;

// The service answers the stop control at once and leaves its loop after a scan under way.
constexpr seconds kStopControlTimeout{300};
constexpr std::chrono::milliseconds kStatePollInterval{250};

bool wait_until_stopped(Context& context, seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
    if (state && *state == platform::ServiceState::Stopped) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kStatePollInterval);
  }
}

int run_stop(Context& context, const Arguments& /*arguments*/) {
  return stop_service(context, /*wait_for_flag=*/false);
}

}  // namespace

int stop_service(Context& context, bool wait_for_flag) {
  Result<platform::StopRequest> sent = context.services.stop(SERVICE_NAME);
  if (!sent) return fail(kExitFailed, sent.error());
  if (*sent == platform::StopRequest::AlreadyStopped) {
    say("The service is stopped.");
    return kExitOk;
  }
  if (*sent == platform::StopRequest::Sent) {
    if (!wait_until_stopped(context, kStopControlTimeout)) {
      return fail(kExitTimedOut, Error("The stop control was sent; the service has not stopped "
                                       "within " +
                                       std::to_string(kStopControlTimeout.count()) + " seconds"));
    }
    say("The service has stopped.");
    return kExitOk;
  }
  // No service manager to send the control through: the flag does it at the service's next pass.
  if (!context.fs.exists(context.data_folder)) {
    return fail(kExitNoDataFolder, Error("The data folder " + context.data_folder.display() +
                                         " does not exist, so stop.flag cannot be created"));
  }
  const Result<std::vector<std::string>> before =
      read_service_log(context.fs, context.file(kServiceLogFileName));
  if (auto created = create_flag(context, kStopFlagName); !created) {
    return fail(kExitFailed, created.error());
  }
  say("No service manager runs here: stop.flag created; the service stops at the start of its "
      "next pass (within about 30 seconds).");
  if (!wait_for_flag) return kExitOk;
  if (!wait_for_log(context, before ? *before : std::vector<std::string>{}, "",
                    {"Tindral Service stopped"}, "stop", kDefaultWaitTimeout)) {
    return fail(kExitTimedOut, Error("The service did not log its stop; stop.flag stays"));
  }
  say("The service has stopped.");
  return kExitOk;
}

const Command& stop_command() {
  static const Command command{
      "stop",
      "stop",
      "Stop the service (the stop control; stop.flag where no service manager runs).",
      "The stop control ends the service's pause at once; a scan under way runs to its end.\n"
      "Where no service manager runs (Linux without systemd), tindralctl creates stop.flag,\n"
      "which the service serves at the start of its next pass, within about 30 seconds.\n",
      {},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = false},
      run_stop};
  return command;
}

}  // namespace tindral::ctl
