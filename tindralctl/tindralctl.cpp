#include "tindralctl.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "command.h"
#include "config/data_folder.h"
#include "platform/console.h"
#include "platform/elevation.h"
#include "platform/installer_package.h"
#include "platform/service_control.h"
#include "platform/service_host.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

constexpr std::string_view kOverview =
    "tindralctl: steer the Tindral service, which gives the folders below the roots in "
    "config.txt a folder icon.\n"
    "\n"
    "Usage: tindralctl COMMAND [OPTIONS]   (tindralctl COMMAND --help tells more)\n"
    "\n"
    "Commands:\n";

constexpr std::string_view kQuietNote =
    "Commands that change things take --quiet: nothing is printed on success, errors still "
    "are, and the exit codes stay the same.\n";

constexpr std::string_view kExitCodes =
    "\n"
    "Exit codes:\n"
    "  0  done\n"
    "  1  the operation failed (the message says why)\n"
    "  2  unknown command or option, missing or malformed argument\n"
    "  3  needs an elevated administrator prompt (Windows) or root (Linux)\n"
    "  4  the service is not installed (tindralctl install)\n"
    "  5  the data folder does not exist (tindralctl install creates it)\n"
    "  6  the folder was refused: missing, not a folder, protected or not listed\n"
    "  7  the service did not report the end of the request in time\n";

// A console window is 80 columns wide; every help line fits in it.
constexpr std::size_t kConsoleColumns = 80;
// The overview's column of summaries, after "  " and the longest command name.
constexpr std::size_t kSummaryColumn = 13;

bool quiet = false;

constexpr std::size_t kCommandCount = 15;

const std::array<std::reference_wrapper<const Command>, kCommandCount>& all_commands() {
  static const std::array<std::reference_wrapper<const Command>, kCommandCount> commands{
      status_command(),  start_command(),     stop_command(),     restart_command(),
      rescan_command(),  cleanup_command(),   pause_command(),    resume_command(),
      roots_command(),   folders_command(),   interval_command(), log_command(),
      install_command(), uninstall_command(), version_command()};
  return commands;
}

// Where a line too long for the console breaks: before an option in brackets where there is one
// (a synopsis), otherwise at the last space that fits.
std::size_t break_point(std::string_view line, std::size_t indent) {
  std::size_t fallback = std::string_view::npos;
  for (std::size_t at = std::min(line.size() - 1, kConsoleColumns); at > indent; --at) {
    if (line[at] != ' ') continue;
    if (at + 1 < line.size() && line[at + 1] == '[') return at;
    if (fallback == std::string_view::npos) fallback = at;
  }
  return fallback;
}

// Each line of `text` longer than the console broken at spaces, the rest indented by `indent`
// columns (or, with none given, as far as the line itself is).
std::string fit_to_console(std::string_view text,
                           std::optional<std::size_t> indent = std::nullopt) {
  std::string fitted;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const std::size_t own = line.find_first_not_of(' ');
    const std::size_t continued = indent.value_or(own == std::string_view::npos ? 0 : own);
    std::string rest;
    while (line.size() > kConsoleColumns) {
      const std::size_t at = break_point(line, continued);
      if (at == std::string_view::npos) break;
      fitted.append(line.substr(0, at)).append("\n");
      rest = std::string(continued, ' ') + std::string(line.substr(at + 1));
      line = rest;
    }
    fitted.append(line).append("\n");
  }
  return fitted;
}

const Command* find_command(std::string_view name) {
  for (const Command& command : all_commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::string overview() {
  std::string text = fit_to_console(kOverview);
  for (const Command& command : all_commands()) {
    std::string entry = "  " + std::string(command.name);
    entry.resize(std::max(entry.size() + 2, kSummaryColumn), ' ');
    text += fit_to_console(entry + std::string(command.summary), kSummaryColumn);
  }
  return text + "\n" + fit_to_console(kQuietNote) + std::string(kExitCodes);
}

// The line breaks of a paragraph written in the source joined, for fit_to_console to break it
// anew; a blank line still parts paragraphs.
std::string reflowed(std::string_view text) {
  std::string joined(text);
  for (std::size_t at = 0; at + 1 < joined.size(); ++at) {
    if (joined[at] != '\n') continue;
    if (joined[at + 1] == '\n') {
      ++at;
    } else if (at > 0 && joined[at - 1] != '\n') {
      joined[at] = ' ';
    }
  }
  return joined;
}

// One screen: the exit codes are the overview's.
std::string command_help(const Command& command) {
  const std::string usage = "Usage: tindralctl " + std::string(command.usage);
  std::string text = fit_to_console(usage, usage.find(command.name) + command.name.size() + 1);
  text.append("\n").append(fit_to_console(command.summary));
  if (!command.details.empty()) {
    text.append("\n").append(fit_to_console(reflowed(command.details)));
  }
  if (std::find(command.flags.begin(), command.flags.end(), kQuietOption) != command.flags.end()) {
    text.append("\n--quiet prints nothing on success; errors are still printed.\n");
  }
  return text.append("\nExit codes: tindralctl --help lists them.\n");
}

bool listed(const std::vector<std::string_view>& options, std::string_view option) {
  return std::find(options.begin(), options.end(), option) != options.end();
}

int usage_error(const Command* command, const std::string& message) {
  const std::string hint = command != nullptr
                               ? "tindralctl " + std::string(command->name) + " --help"
                               : std::string("tindralctl --help");
  return fail(kExitUsage, Error(hint + " tells how to call it").wrap(message));
}

// Options may stand anywhere after the command; "--" ends them.
std::optional<Arguments> parse_arguments(const Command& command,
                                         const std::vector<std::string>& words, int& exit_code) {
  Arguments arguments;
  bool options_ended = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_ended || word.size() < 2 || word[0] != '-') {
      arguments.positional.push_back(word);
    } else if (word == "--") {
      options_ended = true;
    } else if (listed(command.flags, word)) {
      arguments.options[word] = "";
    } else if (listed(command.value_options, word)) {
      if (i + 1 == words.size()) {
        exit_code = usage_error(&command, "The option " + word + " needs a value");
        return std::nullopt;
      }
      arguments.options[word] = words[++i];
    } else {
      exit_code =
          usage_error(&command, "Unknown option " + word + " for " + std::string(command.name));
      return std::nullopt;
    }
  }
  const std::size_t count = arguments.positional.size();
  if (count < command.min_positional || count > command.max_positional) {
    exit_code = usage_error(&command, "Wrong number of arguments for " + std::string(command.name));
    return std::nullopt;
  }
  return arguments;
}

int check_requirements(const Command& command, Context& context) {
  const Requirements& needs = command.requirements;
  if (needs.elevation) {
    if (const int unmet = require_elevation(command.name); unmet != kExitOk) return unmet;
  }
  if (needs.installed_service) {
    Result<bool> installed = context.services.installed(SERVICE_NAME);
    if (!installed) return fail(kExitFailed, installed.error());
    if (!*installed) {
      return fail(kExitNotInstalled,
                  Error(platform::installer_package_exists()
                            ? "tindralctl install (or the MSI package) installs it"
                            : "tindralctl install installs it")
                      .wrap("The service " + std::string(SERVICE_NAME) + " is not installed"));
    }
  }
  if (needs.data_folder && !context.fs.exists(context.data_folder)) {
    return fail(kExitNoDataFolder,
                Error("tindralctl install creates it, and so does the service when it starts")
                    .wrap("The data folder " + context.data_folder.display() + " does not exist"));
  }
  return kExitOk;
}

}  // namespace

std::optional<std::string> Arguments::value(std::string_view option) const {
  const auto found = options.find(option);
  if (found == options.end()) return std::nullopt;
  return found->second;
}

int require_elevation(std::string_view what) {
  if (platform::process_is_elevated()) return kExitOk;
  return fail(kExitNotElevated,
              Error("Run it from an elevated administrator prompt (Windows) or as root (sudo, "
                    "Linux): only administrators may steer the service")
                  .wrap("tindralctl " + std::string(what) + " changes the service"));
}

int fail(ExitCode code, const Error& error) {
  platform::write_stderr(render_error_report(error));
  return code;
}

bool output_is_quiet() { return quiet; }

void say(std::string_view line) {
  if (!quiet) platform::write_stdout(std::string(line) + "\n");
}

std::optional<unsigned long long> parse_count(std::string_view text, unsigned long long max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<unsigned long long>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

int run_tindralctl(const std::vector<std::string>& arguments,
                   const std::function<Context()>& make_context) {
  quiet = false;
  if (arguments.size() < 2 || arguments[1] == "--help" || arguments[1] == "-h" ||
      arguments[1] == "help") {
    if (arguments.size() >= 3 && arguments[1] == "help") {
      if (const Command* command = find_command(arguments[2])) {
        platform::write_stdout(command_help(*command));
        return kExitOk;
      }
    }
    platform::write_stdout(overview());
    return arguments.size() < 2 ? kExitUsage : kExitOk;
  }
  const Command* command = find_command(arguments[1] == "--version" ? "version" : arguments[1]);
  if (command == nullptr) return usage_error(nullptr, "Unknown command " + arguments[1]);
  const std::vector<std::string> words(arguments.begin() + 2, arguments.end());
  if (listed({"--help", "-h"}, words.empty() ? "" : words.front()) ||
      std::find(words.begin(), words.end(), "--help") != words.end()) {
    platform::write_stdout(command_help(*command));
    return kExitOk;
  }
  int exit_code = kExitOk;
  const std::optional<Arguments> parsed = parse_arguments(*command, words, exit_code);
  if (!parsed) return exit_code;
  quiet = parsed->has(kQuietOption);
  Context context = make_context();
  if (const int unmet = check_requirements(*command, context); unmet != kExitOk) return unmet;
  return command->run(context, *parsed);
}

int run_tindralctl(const std::vector<std::string>& arguments) {
  return run_tindralctl(arguments, [] {
    // Where the service will look, which under Wine is not where this process's ProgramData
    // points.
    return Context{platform::real_file_system(), platform::real_service_control(),
                   data_folder_for(platform::service_environment_variable("ProgramData"))};
  });
}

int run_process(int argc, char** argv) {
  Result<std::vector<std::string>> arguments = platform::command_line_arguments(argc, argv);
  if (!arguments) return fail(kExitUsage, arguments.error());
  return run_tindralctl(*arguments);
}

}  // namespace tindral::ctl
