#include <thread>

#include "request.h"
#include "service_name.h"
#include "stop.h"

namespace tindral::ctl {
namespace {

// The service reports running once it has set up its log and data folder, well within this.
constexpr std::chrono::seconds kStartTimeout{30};
constexpr std::chrono::milliseconds kStatePollInterval{250};

int refuse_without_service_manager(std::string_view what) {
  return fail(kExitFailed,
              Error("Start the service's program the way this machine starts services; "
                    "tindralctl stop and the flags still reach it")
                  .wrap("No service manager runs here, so tindralctl cannot " + std::string(what) +
                        " the service"));
}

int run_start(Context& context, const Arguments& /*arguments*/) {
  Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
  if (!state) return fail(kExitFailed, state.error());
  if (*state == platform::ServiceState::Unknown) return refuse_without_service_manager("start");
  if (*state == platform::ServiceState::Running) {
    say("The service " + std::string(SERVICE_NAME) + " is running already.");
    return kExitOk;
  }
  return start_service(context);
}

int run_restart(Context& context, const Arguments& /*arguments*/) {
  Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
  if (!state) return fail(kExitFailed, state.error());
  if (*state == platform::ServiceState::Unknown) return refuse_without_service_manager("restart");
  if (const int stopped = stop_service(context, /*wait_for_flag=*/false); stopped != kExitOk) {
    return stopped;
  }
  return start_service(context);
}

}  // namespace

platform::ServiceState wait_until_started(Context& context) {
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
    if (!state) return platform::ServiceState::Unknown;
    if (*state != platform::ServiceState::StartPending ||
        std::chrono::steady_clock::now() >= deadline) {
      return *state;
    }
    std::this_thread::sleep_for(kStatePollInterval);
  }
}

int start_service(Context& context) {
  if (auto started = context.services.start(SERVICE_NAME); !started) {
    return fail(kExitFailed, started.error());
  }
  switch (wait_until_started(context)) {
    case platform::ServiceState::Running:
      say("Started the service " + std::string(SERVICE_NAME) + ".");
      return kExitOk;
    case platform::ServiceState::StartPending:
      return fail(kExitTimedOut, Error("The service " + std::string(SERVICE_NAME) +
                                       " did not report running within " +
                                       std::to_string(kStartTimeout.count()) + " seconds"));
    default:
      break;
  }
  return fail(kExitFailed, Error("service.log (tindralctl log) and the system's log tell why")
                               .wrap("The service " + std::string(SERVICE_NAME) +
                                     " did not keep running after its start"));
}

const Command& start_command() {
  static const Command command{
      "start",
      "start [--quiet]",
      "Start the service through the service manager; wait until it runs.",
      "A running service is left as it is. It scans at its start, then every interval.\n",
      {kQuietOption},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = false},
      run_start};
  return command;
}

const Command& restart_command() {
  static const Command command{
      "restart",
      "restart [--quiet]",
      "Stop the service, then start it again (it scans at its start).",
      "As tindralctl stop, then tindralctl start: a scan under way runs to its end first. It\n"
      "needs a service manager (Windows' or systemd), which starts the service again.\n",
      {kQuietOption},
      {},
      0,
      0,
      {.elevation = true, .installed_service = true, .data_folder = false},
      run_restart};
  return command;
}

}  // namespace tindral::ctl
