#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/service_host.h"
#include "platform/stop_signal.h"
#include "service_name.h"

namespace tindral {

/// The status sent right after the handler registration: running, accepting only the stop
/// control.
platform::ServiceStatus running_report();

/// The status sent after the worker has returned: stopped, exit code 0.
platform::ServiceStatus stopped_report();

/// The fixed answer to a control code: NO_ERROR for stop and interrogate,
/// ERROR_CALL_NOT_IMPLEMENTED for every other code.
std::uint32_t control_result(std::uint32_t control);

/// The stop request shared by the control handler and the running worker; process-wide because
/// the handler gets no context it could find it through.
platform::StopSignal& service_stop_signal();

/// The service's control handler: a stop control also raises service_stop_signal(), so that the
/// worker leaves its loop at its next stop test; the answer is control_result's.
std::uint32_t control_handler(std::uint32_t control);

/// The service main function around `run_worker`: registers control_handler, reports running,
/// logs "Tindral Service started", runs the worker to its end, reports stopped and logs
/// "Tindral Service stopped". A failed registration or report is logged as "Service error: "
/// and ends the function without a further report.
void service_main(platform::ServiceConnection& connection, const std::function<void()>& run_worker);

/// service_main with the production worker (run_service_loop on production_worker_setup with
/// service_stop_signal()); the function the dispatcher starts.
void production_service_main(platform::ServiceConnection& connection);

}  // namespace tindral
