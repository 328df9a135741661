#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/path.h"

namespace tindral::test_support {

/// Changes to the environment a child starts with: a value sets the variable, nothing removes
/// it. Everything else is inherited from the test process.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

/// A program of the build tree in the platform's spelling: under Wine a Unix path from the build
/// system is reached through drive Z:.
Path built_program(std::string_view build_path);

/// A child process whose standard output and standard error go to two files in a folder of the
/// test's own, so that a test reads them after the end without pipes that could fill up.
class ChildProcess {
 public:
  /// Starts `program` with `arguments` (the program path is added as the first entry); a failed
  /// start is reported to GoogleTest and leaves started() false.
  ChildProcess(const Path& program, const std::vector<std::string>& arguments,
               const EnvironmentChanges& environment, const Path& output_folder);
  /// Kills the child if it is still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return started_; }
  /// The operating system's process id.
  unsigned long id() const { return id_; }
  /// Waits up to `timeout` for the child to end; true when it has ended.
  bool wait(std::chrono::milliseconds timeout);
  /// The exit code once the child has ended (POSIX: minus the signal number after a signal).
  int exit_code() const { return exit_code_; }
  /// What the child wrote so far.
  std::string standard_output() const;
  std::string standard_error() const;

 private:
  /// Picks the files in `output_folder` that take the child's standard output and error.
  void name_output_files(const Path& output_folder);

  bool started_ = false;
  bool ended_ = false;
  unsigned long id_ = 0;
  int exit_code_ = -1;
  void* handle_ = nullptr;  ///< Windows: the process handle
  Path stdout_path_;
  Path stderr_path_;
};

/// What a child that ran to its end left behind.
struct ChildOutcome {
  int exit_code = -1;
  std::string out;
  std::string err;
};

/// Runs a child to its end; one that is still running after `timeout` is a test failure.
ChildOutcome run_child(const Path& program, const std::vector<std::string>& arguments,
                       const EnvironmentChanges& environment, const Path& output_folder,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tindral::test_support
