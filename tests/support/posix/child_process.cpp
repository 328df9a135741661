#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <thread>

extern char** environ;

namespace tindral::test_support {
namespace {

std::vector<std::string> child_environment(const EnvironmentChanges& changes) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

}  // namespace

Path built_program(std::string_view build_path) { return Path(std::string(build_path)); }

ChildProcess::ChildProcess(const Path& program, const std::vector<std::string>& arguments,
                           const EnvironmentChanges& environment, const Path& output_folder) {
  name_output_files(output_folder);

  std::vector<std::string> argv_texts{program.bytes()};
  argv_texts.insert(argv_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = pointers_to(argv_texts);
  std::vector<std::string> env_texts = child_environment(environment);
  std::vector<char*> envp = pointers_to(env_texts);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path_.bytes().c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.bytes().c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int failure =
      posix_spawn(&pid, program.bytes().c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) {
    ADD_FAILURE() << "cannot start " << program.display() << ": " << std::strerror(failure);
    return;
  }
  started_ = true;
  id_ = static_cast<unsigned long>(pid);
}

ChildProcess::~ChildProcess() {
  if (!started_ || ended_) return;
  kill(static_cast<pid_t>(id_), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(id_), &status, 0);
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!started_) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ended_) {
    int status = 0;
    const pid_t done = waitpid(static_cast<pid_t>(id_), &status, WNOHANG);
    if (done == static_cast<pid_t>(id_)) {
      ended_ = true;
      exit_code_ = exit_code_of(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ended_;
}

}  // namespace tindral::test_support
