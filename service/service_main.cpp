#include "service_main.h"

#include <string>

#include "log.h"
#include "log_targets.h"
#include "platform/event_log.h"
#include "worker.h"

namespace tindral {
namespace {

// Warnings and errors also reach the system's event log under the service's name, where an
// administrator's monitoring of many machines looks; a failure to write there has nowhere left
// to be reported.
class SystemEventLog final : public log::EventSink {
 public:
  void report(log::Level level, std::string_view message) override {
    const platform::EventType type =
        level == log::Level::Error ? platform::EventType::Error : platform::EventType::Warning;
    static_cast<void>(platform::report_event(SERVICE_NAME, type, message));
  }
};

Result<void> serve(platform::ServiceConnection& connection,
                   const std::function<void()>& run_worker) {
  if (auto registered = connection.register_control_handler(SERVICE_NAME, control_handler);
      !registered) {
    return registered;
  }
  if (auto reported = connection.report_status(running_report()); !reported) return reported;
  log::info(log::kTargetService, "Tindral Service started");
  run_worker();
  if (auto reported = connection.report_status(stopped_report()); !reported) return reported;
  log::info(log::kTargetService, "Tindral Service stopped");
  return {};
}

}  // namespace

platform::ServiceStatus running_report() {
  platform::ServiceStatus status;
  status.service_type = platform::kServiceWin32OwnProcess;
  status.current_state = platform::kServiceRunning;
  status.controls_accepted = platform::kServiceAcceptStop;
  return status;
}

platform::ServiceStatus stopped_report() {
  platform::ServiceStatus status;
  status.service_type = platform::kServiceWin32OwnProcess;
  status.current_state = platform::kServiceStopped;
  return status;
}

std::uint32_t control_result(std::uint32_t control) {
  switch (control) {
    case platform::kServiceControlStop:
    case platform::kServiceControlInterrogate:
      return platform::kNoError;
    default:
      return platform::kErrorCallNotImplemented;
  }
}

platform::StopSignal& service_stop_signal() {
  // Never destroyed: the dispatcher thread may still raise it while the process exits.
  static platform::StopSignal* const signal = new platform::StopSignal;
  return *signal;
}

std::uint32_t control_handler(std::uint32_t control) {
  if (control == platform::kServiceControlStop) service_stop_signal().request();
  return control_result(control);
}

void service_main(platform::ServiceConnection& connection,
                  const std::function<void()>& run_worker) {
  if (auto served = serve(connection, run_worker); !served) {
    log::error(log::kTargetService, "Service error: " + served.error().message());
  }
}

void production_service_main(platform::ServiceConnection& connection) {
  SystemEventLog event_log;
  const log::ScopedEventSink reporting(event_log);
  // The worker's setup is gone before the stopped report, so nothing of the run outlives it.
  service_main(connection,
               [] { run_service_loop(production_worker_setup(service_stop_signal())); });
}

}  // namespace tindral
