#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "exit_codes.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/service_control.h"

namespace tindral::ctl {

/// A command line after its options were sorted out.
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;  ///< "--wait" -> "", "-n" -> "20"

  bool has(std::string_view option) const { return options.find(option) != options.end(); }
  /// The option's value, or nothing when it was not given.
  std::optional<std::string> value(std::string_view option) const;
};

/// What every command works with.
struct Context {
  platform::FileSystem& fs;
  platform::ServiceControl& services;
  Path data_folder;
  Path file(std::string_view name) const { return data_folder.child(name); }
};

/// What a command needs before it runs; checked in this order, each with its own exit code.
struct Requirements {
  bool elevation = false;
  bool installed_service = false;
  bool data_folder = false;
};

/// One command of tindralctl.
struct Command {
  std::string_view name;
  std::string_view usage;                       ///< the synopsis after "tindralctl "
  std::string_view summary;                     ///< one line for the overview
  std::string_view details;                     ///< the rest of its --help
  std::vector<std::string_view> flags;          ///< options without a value
  std::vector<std::string_view> value_options;  ///< options followed by a value
  std::size_t min_positional = 0;
  std::size_t max_positional = 0;
  Requirements requirements;
  int (*run)(Context& context, const Arguments& arguments) = nullptr;
};

// The commands, one file each.
const Command& status_command();
const Command& rescan_command();
const Command& cleanup_command();
const Command& pause_command();
const Command& resume_command();
const Command& stop_command();
const Command& roots_command();
const Command& interval_command();
const Command& log_command();
const Command& install_command();
const Command& uninstall_command();
const Command& folders_command();
const Command& start_command();
const Command& restart_command();
const Command& version_command();

/// The option of the commands that change things that keeps them silent on success.
inline constexpr std::string_view kQuietOption = "--quiet";

/// Whether --quiet was given: say() then prints nothing (errors still go to standard error).
bool output_is_quiet();

/// kExitOk for an elevated process; otherwise reports that `what` needs elevation.
int require_elevation(std::string_view what);

/// Prints the error report on standard error and returns `code`.
int fail(ExitCode code, const Error& error);

/// Prints a line (a line feed is added) on standard output, unless --quiet was given.
void say(std::string_view line);

/// Parses a whole number of at most `max`, or nothing.
std::optional<unsigned long long> parse_count(std::string_view text, unsigned long long max);

}  // namespace tindral::ctl
