#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tindral {

/// Exit codes of the process.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitAbnormal = 101;

/// The option that selects console mode, matched byte for byte as the first real argument.
inline constexpr std::string_view kConsoleOption = "--console";

/// The option that prints the program's version ("tindral 0.1.0") and nothing else; tindralctl
/// version asks the installed program so natively, where a file carries no version.
inline constexpr std::string_view kVersionOption = "--version";

/// True when the arguments (program path first) select console mode.
bool is_console_mode(const std::vector<std::string>& arguments);

/// Runs the mode the arguments select and returns the exit code; an error is reported on
/// standard error first ("Error: " and its causes). Expects the log to be installed.
int run_mode(const std::vector<std::string>& arguments);

/// The whole process: installs the log, reads the command line and runs the chosen mode.
int run_process(int argc, char** argv);

}  // namespace tindral
