#include "stop.h"

#include <thread>

#include "config/data_folder.h"
#include "config/flags.h"
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

// The flag stops the service at its next pass, where no stop control could be sent.
int stop_through_flag(Context& context, std::string_view why, bool wait_for_flag) {
  if (!context.fs.exists(context.data_folder)) {
    return fail(kExitNoDataFolder, Error("The data folder " + context.data_folder.display() +
                                         " does not exist, so stop.flag cannot be created"));
  }
  const Result<std::vector<std::string>> before =
      read_service_log(context.fs, context.file(kServiceLogFileName));
  if (auto created = create_flag(context, kStopFlagName); !created) {
    return fail(kExitFailed, created.error());
  }
  say(std::string(why) +
      ": stop.flag created; the service stops at the start of its next pass (within about 30 "
      "seconds).");
  if (!wait_for_flag) return kExitOk;
  if (!wait_for_log(context, before ? *before : std::vector<std::string>{}, "",
                    {"Tindral Service stopped"}, "stop", kDefaultWaitTimeout)) {
    return fail(kExitTimedOut, Error("The service did not log its stop; stop.flag stays"));
  }
  say("The service has stopped.");
  return kExitOk;
}

int stop_service(Context& context, bool wait_for_flag) {
  Result<platform::StopRequest> sent = context.services.stop(SERVICE_NAME);
  if (!sent) {
    if (sent.error().kind() == ErrorKind::AccessDenied) return fail(kExitFailed, sent.error());
    return stop_through_flag(context, "The stop control failed (" + sent.error().message() + ")",
                             wait_for_flag);
  }
  if (*sent == platform::StopRequest::NoServiceManager) {
    return stop_through_flag(context, "No service manager runs here", wait_for_flag);
  }
  if (*sent == platform::StopRequest::AlreadyStopped) {
    say("The service is stopped.");
    return kExitOk;
  }
  if (!wait_until_stopped(context, kStopControlTimeout)) {
    return fail(kExitTimedOut,
                Error("The stop control was sent; the service has not stopped within " +
                      std::to_string(kStopControlTimeout.count()) + " seconds"));
  }
  say("The service has stopped.");
  return kExitOk;
}

const Command& stop_command() {
  static const Command command{
      "stop",
      "stop",
      "Stop the service (stop.flag where no stop control can be sent).",
      "The stop control ends the service's pause at once; a scan under way runs to its end.\n"
      "Where no service manager runs (Linux without systemd) or the control fails, tindralctl\n"
      "creates stop.flag, which the service serves at the start of its next pass, within\n"
      "about 30 seconds.\n",
      {kQuietOption},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = false},
      run_stop};
  return command;
}

}  // namespace tindral::ctl
