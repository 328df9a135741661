#include "tindralctl.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>

#include "command.h"
#include "config/data_folder.h"
#include "platform/console.h"
#include "platform/elevation.h"
#include "platform/service_control.h"
#include "platform/service_host.h"
#include "service_name.h"

namespace tindral::ctl {
namespace {

constexpr std::string_view kOverview =
    "tindralctl: steer the Tindral service, which gives the folders below the roots in config.txt "
    "a folder icon.\n"
    "\n"
    "Usage: tindralctl COMMAND [OPTIONS]   (tindralctl COMMAND --help tells more)\n"
    "\n"
    "Commands:\n";

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

const std::array<std::reference_wrapper<const Command>, 12>& all_commands() {
  static const std::array<std::reference_wrapper<const Command>, 12> commands{
      status_command(),   rescan_command(), cleanup_command(), pause_command(),
      resume_command(),   stop_command(),   roots_command(),   folders_command(),
      interval_command(), log_command(),    install_command(), uninstall_command()};
  return commands;
}

const Command* find_command(std::string_view name) {
  for (const Command& command : all_commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::string overview() {
  std::string text(kOverview);
  for (const Command& command : all_commands()) {
    std::string usage(command.usage);
    usage.resize(std::max<std::size_t>(usage.size() + 2, 38), ' ');
    text += "  " + usage + std::string(command.summary) + "\n";
  }
  return text + std::string(kExitCodes);
}

std::string command_help(const Command& command) {
  std::string text = "Usage: tindralctl ";
  text.append(command.usage).append("\n\n").append(command.summary).append("\n");
  if (!command.details.empty()) text.append("\n").append(command.details);
  return text.append(kExitCodes);
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
                  Error("tindralctl install (or the MSI package) installs it")
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

void say(std::string_view line) { platform::write_stdout(std::string(line) + "\n"); }

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

int run_tindralctl(const std::vector<std::string>& arguments) {
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
  const Command* command = find_command(arguments[1]);
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
  // Where the service will look, which under Wine is not where this process's ProgramData
  // points.
  Context context{platform::real_file_system(), platform::real_service_control(),
                  data_folder_for(platform::service_environment_variable("ProgramData"))};
  if (const int unmet = check_requirements(*command, context); unmet != kExitOk) return unmet;
  return command->run(context, *parsed);
}

int run_process(int argc, char** argv) {
  Result<std::vector<std::string>> arguments = platform::command_line_arguments(argc, argv);
  if (!arguments) return fail(kExitUsage, arguments.error());
  return run_tindralctl(*arguments);
}

}  // namespace tindral::ctl
