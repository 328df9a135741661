#include "support/child_process.h"

#include <gtest/gtest.h>

#include "support/real_disk.h"

namespace tindral::test_support {

// Numbered per process, so that the children of one test never share a file.
void ChildProcess::name_output_files(const Path& output_folder) {
  static int counter = 0;
  ++counter;
  stdout_path_ = output_folder.child("child-" + std::to_string(counter) + ".out");
  stderr_path_ = output_folder.child("child-" + std::to_string(counter) + ".err");
}

std::string ChildProcess::standard_output() const { return read_bytes(stdout_path_); }

std::string ChildProcess::standard_error() const { return read_bytes(stderr_path_); }

ChildOutcome run_child(const Path& program, const std::vector<std::string>& arguments,
                       const EnvironmentChanges& environment, const Path& output_folder,
                       std::chrono::milliseconds timeout) {
  ChildOutcome outcome;
  ChildProcess child(program, arguments, environment, output_folder);
  if (!child.started()) return outcome;
  if (!child.wait(timeout)) {
    ADD_FAILURE() << program.display() << " still runs after " << timeout.count() << " ms";
    return outcome;
  }
  outcome.exit_code = child.exit_code();
  outcome.out = child.standard_output();
  outcome.err = child.standard_error();
  return outcome;
}

}  // namespace tindral::test_support
