#pragma once

#include <chrono>
#include <string_view>
#include <vector>

#include "command.h"

namespace tindral::ctl {

/// A request the service serves through a flag file, and the service.log lines that tell it
/// took the request up and finished it.
struct FlagRequest {
  std::string_view flag;                   ///< the flag file's name
  std::string_view activity;               ///< "rescan", for messages
  std::string_view taken_up;               ///< the message the service logs on taking it up
  std::vector<std::string_view> finished;  ///< messages that end it successfully
  std::vector<std::string_view> failed;    ///< messages that end it with an error
};

/// Whether the service is there to serve a flag now, as the service manager says.
enum class ServiceLiveness {
  Running,       ///< running or starting
  Stopped,       ///< stopped or stopping: a flag waits for its next start
  NotInstalled,  ///< nothing will serve a flag
  Unknown,       ///< no service manager to ask (it may run), or it could not be asked
};
ServiceLiveness service_liveness(Context& context);

/// Whether paused.flag is there, so that the service does not scan.
bool service_paused(Context& context);

/// The cleanup flag and its answers (cleanup and uninstall both ask for one).
FlagRequest cleanup_request();

/// How long --wait waits unless --timeout says otherwise: a pass is 30 seconds, and a scan of a
/// large tree takes minutes.
inline constexpr std::chrono::seconds kDefaultWaitTimeout{600};

/// The --timeout option, or the default; nothing (after a usage report in `exit_code`) when it
/// is malformed.
std::optional<std::chrono::seconds> wait_timeout(const Arguments& arguments, int& exit_code);

/// Creates the flag (an empty file) and, with `wait`, starts a stopped service and waits for
/// its answer in service.log; then tells the desktop shell about the roots. Returns the exit
/// code.
int request_and_wait(Context& context, const FlagRequest& request, bool wait,
                     std::chrono::seconds timeout);

/// request_and_wait with the command's --wait and --timeout.
int run_request(Context& context, const Arguments& arguments, const FlagRequest& request);

/// Creates an empty flag file in the data folder.
Result<void> create_flag(Context& context, std::string_view name);

/// Waits until service.log has a line that was not among `before`, comes after a line starting
/// with `after` (unless that is empty) and starts with one of `messages`; that line, or nothing
/// when none came within `timeout`. Shows the elapsed time on a terminal.
std::optional<std::string> wait_for_log(Context& context, const std::vector<std::string>& before,
                                        std::string_view after,
                                        const std::vector<std::string_view>& messages,
                                        std::string_view activity, std::chrono::seconds timeout);

}  // namespace tindral::ctl
