#include <thread>

#include "config/data_folder.h"
#include "request.h"
#include "service_log_reader.h"

namespace tindral::ctl {
namespace {

constexpr unsigned long long kDefaultLines = 20;
constexpr std::chrono::milliseconds kFollowInterval{500};

int run_log(Context& context, const Arguments& arguments) {
  unsigned long long count = kDefaultLines;
  if (const std::optional<std::string> given = arguments.value("-n")) {
    const std::optional<unsigned long long> parsed = parse_count(*given, 1'000'000);
    if (!parsed) {
      return fail(kExitUsage,
                  Error("-n takes a whole number of lines").wrap("Malformed -n " + *given));
    }
    count = *parsed;
  }
  const Path log = context.file(kServiceLogFileName);
  Result<std::vector<std::string>> lines = read_service_log(context.fs, log);
  if (!lines) return fail(kExitFailed, lines.error());
  const std::size_t first = lines->size() > count ? lines->size() - count : 0;
  for (std::size_t i = first; i < lines->size(); ++i) say((*lines)[i]);
  if (!arguments.has("--follow")) return kExitOk;
  // Until interrupted (Ctrl+C ends the process).
  std::vector<std::string> shown = std::move(*lines);
  for (;;) {
    std::this_thread::sleep_for(kFollowInterval);
    Result<std::vector<std::string>> now = read_service_log(context.fs, log);
    if (!now) continue;
    for (const std::string& line : lines_added(shown, *now)) say(line);
    shown = std::move(*now);
  }
}

}  // namespace

const Command& log_command() {
  static const Command command{
      "log",
      "log [-n LINES] [--follow]",
      "Show the last lines of service.log (20 unless -n says otherwise).",
      "--follow then keeps printing the lines the service adds, until Ctrl+C.\n",
      {"--follow"},
      {"-n"},
      0,
      0,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_log};
  return command;
}

}  // namespace tindral::ctl
