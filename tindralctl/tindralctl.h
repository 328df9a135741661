#pragma once

#include <functional>
#include <string>
#include <vector>

#include "command.h"

namespace tindral::ctl {

/// Runs the command the arguments name (program path first) and returns the exit code.
int run_tindralctl(const std::vector<std::string>& arguments);

/// The same with what the commands work with made by `context`, which is called once the command
/// line names a command to run (tests give a service manager of their own).
int run_tindralctl(const std::vector<std::string>& arguments,
                   const std::function<Context()>& context);

/// The whole process: reads the command line and runs it.
int run_process(int argc, char** argv);

}  // namespace tindral::ctl
