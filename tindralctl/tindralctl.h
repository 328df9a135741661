#pragma once

#include <string>
#include <vector>

namespace tindral::ctl {

/// Runs the command the arguments name (program path first) and returns the exit code.
int run_tindralctl(const std::vector<std::string>& arguments);

/// The whole process: reads the command line and runs it.
int run_process(int argc, char** argv);

}  // namespace tindral::ctl
