#include "request.h"

#include <thread>

#include "config/data_folder.h"
#include "config/flags.h"
#include "config/root_paths.h"
#include "line_file.h"
#include "platform/console.h"
#include "platform/shell_notify.h"
#include "service_log_reader.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLogPollInterval{250};
constexpr std::string_view kServiceStopped = "Tindral Service stopped";

std::string progress_line(std::string_view activity, seconds elapsed) {
  return "Waiting for the service's " + std::string(activity) + "... " +
         std::to_string(elapsed.count()) + "s";
}

// "\r" and the line again: the terminal shows one line that counts up.
void show_progress(std::string_view activity, seconds elapsed) {
  std::string line = "\r";
  platform::write_stdout(line.append(progress_line(activity, elapsed)));
}

// Spaces over the progress line, so that the answer starts on a clean line; plain characters,
// since a Windows console interprets escape sequences only when asked to.
void clear_progress(std::string_view activity, seconds elapsed) {
  std::string blank = "\r";
  blank.append(progress_line(activity, elapsed).size(), ' ');
  platform::write_stdout(blank.append("\r"));
}

// The first added line after one starting with `after` that starts with one of `messages`; a
// service that stops answers every request, taken up or not.
std::optional<std::string> answer_among(const std::vector<std::string>& added,
                                        std::string_view after,
                                        const std::vector<std::string_view>& messages) {
  bool taken_up = after.empty();
  for (const std::string& line : added) {
    const std::string_view message = log_message(line);
    if (message == kServiceStopped) return line;
    if (!taken_up) {
      taken_up = message.starts_with(after);
      continue;
    }
    for (std::string_view wanted : messages) {
      if (message.starts_with(wanted)) return line;
    }
  }
  return std::nullopt;
}

// A stopped service would never see the flag; a service whose state is unknown (no service
// manager here) may well be running, and is waited for.
Result<void> start_if_stopped(Context& context) {
  Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
  if (!state) return std::move(state).error();
  if (*state != platform::ServiceState::Stopped) return {};
  say("The service is stopped: starting it (it scans first, then serves the request).");
  return context.services.start(SERVICE_NAME);
}

// The shell of this session cannot see what the service did in its own session; the folders
// the roots list, and the roots themselves in their parents' windows, are shown anew.
void notify_shell_about_roots(Context& context) {
  Result<RootPathList> roots = load_root_paths(context.fs, context.file(kConfigFileName));
  if (!roots) return;
  for (const Path& root : *roots) platform::notify_shell_folder_changed(root);
}

// When the service takes up a flag that was just created, from the state it is in.
std::string when_taken_up(Context& context, const FlagRequest& request) {
  const bool held_by_pause = request.flag != kCleanupFlagName && service_paused(context);
  switch (service_liveness(context)) {
    case ServiceLiveness::NotInstalled:
      return "The service is not installed: nothing takes the flag up until it is (tindralctl "
             "install).";
    case ServiceLiveness::Stopped:
      return std::string(
                 "The service is stopped: it takes the flag up when it starts "
                 "(tindralctl start") +
             (held_by_pause ? ") and tindralctl resume has ended its pause."
                            : ", or tindralctl " + std::string(request.activity) +
                                  " --wait, which starts it).");
    case ServiceLiveness::Running:
      if (held_by_pause) {
        return "The service is paused: it takes the flag up after tindralctl resume.";
      }
      return "The service takes it up at the end of its current pause (within about 30 "
             "seconds); service.log (tindralctl log) tells when it is done.";
    case ServiceLiveness::Unknown:
      break;
  }
  return "No service manager says whether the service runs; if it does, it takes the flag up " +
         std::string(held_by_pause ? "after tindralctl resume"
                                   : "within about 30 seconds (tindralctl log tells when)") +
         ".";
}

}  // namespace

ServiceLiveness service_liveness(Context& context) {
  Result<bool> installed = context.services.installed(SERVICE_NAME);
  if (!installed) return ServiceLiveness::Unknown;
  if (!*installed) return ServiceLiveness::NotInstalled;
  Result<platform::ServiceState> state = context.services.state(SERVICE_NAME);
  if (!state) return ServiceLiveness::Unknown;
  switch (*state) {
    case platform::ServiceState::Running:
    case platform::ServiceState::StartPending:
      return ServiceLiveness::Running;
    case platform::ServiceState::Stopped:
    case platform::ServiceState::StopPending:
      return ServiceLiveness::Stopped;
    case platform::ServiceState::Other:
    case platform::ServiceState::Unknown:
      break;
  }
  return ServiceLiveness::Unknown;
}

bool service_paused(Context& context) { return context.fs.exists(context.file(kPausedFlagName)); }

std::optional<seconds> wait_timeout(const Arguments& arguments, int& exit_code) {
  const std::optional<std::string> given = arguments.value("--timeout");
  if (!given) return kDefaultWaitTimeout;
  const std::optional<unsigned long long> value = parse_count(*given, 365ull * 24 * 60 * 60);
  if (!value || *value == 0) {
    exit_code = fail(kExitUsage, Error("--timeout takes a whole number of seconds, at least 1")
                                     .wrap("Malformed --timeout " + *given));
    return std::nullopt;
  }
  return seconds(*value);
}

int run_request(Context& context, const Arguments& arguments, const FlagRequest& request) {
  if (arguments.has("--timeout") && !arguments.has("--wait")) {
    return fail(kExitUsage, Error("tindralctl " + std::string(request.activity) +
                                  " --help tells how to call it")
                                .wrap("The option --timeout needs --wait"));
  }
  int exit_code = kExitOk;
  const std::optional<seconds> timeout = wait_timeout(arguments, exit_code);
  if (!timeout) return exit_code;
  return request_and_wait(context, request, arguments.has("--wait"), *timeout);
}

// A new file of the administrators' in one step, also in place of a flag that does not count.
Result<void> create_flag(Context& context, std::string_view name) {
  if (auto written = write_file_atomically(context.fs, context.file(name), ""); !written) {
    return std::move(written).error().wrap("Failed to create " + std::string(name));
  }
  return {};
}

std::optional<std::string> wait_for_log(Context& context, const std::vector<std::string>& before,
                                        std::string_view after,
                                        const std::vector<std::string_view>& messages,
                                        std::string_view activity, seconds timeout) {
  const bool terminal = platform::stdout_is_terminal() && !output_is_quiet();
  const auto start = steady_clock::now();
  seconds shown{-1};
  std::optional<std::string> answer;
  for (;;) {
    if (Result<std::vector<std::string>> now =
            read_service_log(context.fs, context.file(kServiceLogFileName))) {
      answer = answer_among(lines_added(before, *now), after, messages);
      if (answer) break;
    }
    const auto elapsed = std::chrono::duration_cast<seconds>(steady_clock::now() - start);
    if (elapsed >= timeout) break;
    if (terminal && elapsed != shown) show_progress(activity, shown = elapsed);
    std::this_thread::sleep_for(kLogPollInterval);
  }
  if (terminal && shown.count() >= 0) clear_progress(activity, shown);
  return answer;
}

int request_and_wait(Context& context, const FlagRequest& request, bool wait, seconds timeout) {
  const Path log = context.file(kServiceLogFileName);
  Result<std::vector<std::string>> before = read_service_log(context.fs, log);
  if (!before) return fail(kExitFailed, before.error());
  if (auto created = create_flag(context, request.flag); !created) {
    return fail(kExitFailed, created.error());
  }
  say(std::string(request.flag) + " created.");
  if (!wait) {
    say(when_taken_up(context, request));
    return kExitOk;
  }
  if (request.flag != kCleanupFlagName && service_paused(context)) {
    return fail(kExitFailed,
                Error("The flag stays and is served after tindralctl resume")
                    .wrap("The service is paused: it does not " + std::string(request.activity)));
  }
  if (auto started = start_if_stopped(context); !started) return fail(kExitFailed, started.error());
  std::vector<std::string_view> answers = request.finished;
  answers.insert(answers.end(), request.failed.begin(), request.failed.end());
  const std::optional<std::string> answer =
      wait_for_log(context, *before, request.taken_up, answers, request.activity, timeout);
  if (!answer) {
    return fail(kExitTimedOut,
                Error("The flag stays; the service serves it when it gets to it")
                    .wrap("The service did not finish the " + std::string(request.activity) +
                          " within " + std::to_string(timeout.count()) + " seconds"));
  }
  say(*answer);
  const std::string_view message = log_message(*answer);
  for (std::string_view finished : request.finished) {
    if (message.starts_with(finished)) {
      notify_shell_about_roots(context);
      return kExitOk;
    }
  }
  return fail(kExitFailed,
              Error(std::string(message))
                  .wrap("The service did not finish the " + std::string(request.activity)));
}

}  // namespace tindral::ctl
