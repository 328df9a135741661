#include "support/child_process.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/scoped_env.h"

namespace tindral::test_support {
namespace {

// The tests hand over only text they wrote themselves, which always converts.
std::wstring widen(std::string_view utf8) {
  return platform::win32::wtf8_to_wide(utf8).value_or(std::wstring());
}

// Quotes one argument so that CommandLineToArgvW (and the C runtime) give it back unchanged:
// backslashes count only in front of a quote, where they are doubled.
void append_quoted(std::wstring& command_line, const std::wstring& argument) {
  if (!command_line.empty()) command_line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    command_line += argument;
    return;
  }
  command_line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    command_line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    command_line += c;
  }
  command_line.append(backslashes * 2, L'\\');
  command_line += L'"';
}

HANDLE create_output_file(const Path& path) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(widen(path.bytes()).c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Path built_program(std::string_view build_path) {
  std::string path(build_path);
  // A Unix path from a cross build: Wine maps the Unix root to drive Z:.
  if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return Path(path);
}

ChildProcess::ChildProcess(const Path& program, const std::vector<std::string>& arguments,
                           const EnvironmentChanges& environment, const Path& output_folder) {
  name_output_files(output_folder);

  const std::wstring application = widen(program.bytes());
  std::wstring command_line;
  append_quoted(command_line, application);
  for (const std::string& argument : arguments) append_quoted(command_line, widen(argument));

  HANDLE out = create_output_file(stdout_path_);
  HANDLE err = create_output_file(stderr_path_);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot create the output files in " << output_folder.display();
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    return;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  BOOL created = FALSE;
  DWORD create_error = 0;
  {
    // Wine overwrites ProgramData in the environment a Unix process hands over, so the child's
    // environment is set from this side: changed here, inherited by CreateProcessW, restored.
    std::vector<std::unique_ptr<ScopedEnv>> scoped;
    for (const auto& [name, value] : environment) {
      scoped.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    created = CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                             nullptr, nullptr, &startup, &process);
    create_error = GetLastError();
    // Restored last-set first, so that a variable changed twice gets its original value back.
    while (!scoped.empty()) scoped.pop_back();
  }
  CloseHandle(out);
  CloseHandle(err);
  if (!created) {
    ADD_FAILURE() << "cannot start " << program.display() << ": error " << create_error;
    return;
  }
  CloseHandle(process.hThread);
  handle_ = process.hProcess;
  id_ = process.dwProcessId;
  started_ = true;
}

ChildProcess::~ChildProcess() {
  if (!started_) return;
  if (!ended_) {
    TerminateProcess(handle_, 1);
    WaitForSingleObject(handle_, INFINITE);
  }
  CloseHandle(handle_);
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!started_) return false;
  if (ended_) return true;
  if (WaitForSingleObject(handle_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(handle_, &code);
  exit_code_ = static_cast<int>(code);
  ended_ = true;
  return true;
}

}  // namespace tindral::test_support
