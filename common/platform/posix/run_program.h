#pragma once

#include <string>
#include <vector>

#include "error.h"

namespace tindral::platform::posix {

/// A program's exit code (-1 when a signal ended it) and standard output.
struct ProgramOutcome {
  int exit_code = -1;
  std::string out;
};

/// Runs `arguments` (the first names the program, looked up in PATH when it holds no "/") with
/// this process's environment and standard error, and waits for its end.
Result<ProgramOutcome> run_program(std::vector<std::string> arguments);

}  // namespace tindral::platform::posix
