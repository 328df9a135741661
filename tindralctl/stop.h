#pragma once

#include "command.h"

namespace tindral::ctl {

/// Stops the service through the service manager and waits for it; where there is none, creates
/// stop.flag and, with `wait_for_flag`, waits for the service's last line. Returns the exit code.
int stop_service(Context& context, bool wait_for_flag);

/// Starts the service through the service manager and waits until it runs. Returns the exit
/// code.
int start_service(Context& context);

/// Waits while the service is starting (at most half a minute); the state it reached.
platform::ServiceState wait_until_started(Context& context);

}  // namespace tindral::ctl
