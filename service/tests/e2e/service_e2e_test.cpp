// The built service installed, started and stopped through the Service Control Manager, the way
// an administrator would do it; runs unchanged on Windows (as an administrator) and under Wine.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/child_process.h"
#include "support/machine.h"
#include "support/real_disk.h"

// After windows_api.h, which brings <windows.h> with the build's settings.
#include <userenv.h>

namespace tindral {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::ElementsAre;
using testing::EndsWith;
using testing::StartsWith;

constexpr wchar_t kServiceName[] = L"TindralCache";
// The worker sees stop.flag only at the start of a pass, after its 30-second sleep.
constexpr seconds kPollInterval{30};
constexpr seconds kMargin{15};

// The tests hand over only text they wrote themselves, which always converts.
std::wstring widen(std::string_view utf8) {
  return platform::win32::wtf8_to_wide(utf8).value_or(std::wstring());
}

std::string narrow(std::wstring_view wide) { return platform::win32::wide_to_wtf8(wide); }

// Services get the environment the system builds for a logon, not the test's own; under Wine
// that one has ProgramData pointing at C:\users\Public. The data folder is therefore computed
// from such a block, the way the service will compute it from its environment.
Path service_data_folder() {
  std::wstring program_data = L"C:\\ProgramData";
  HANDLE token = nullptr;
  void* block = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token) &&
      CreateEnvironmentBlock(&block, token, FALSE)) {
    for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0';
         entry += wcslen(entry) + 1) {
      const std::wstring_view text(entry);
      if (text.size() > 12 &&
          CompareStringOrdinal(text.data(), 12, L"ProgramData=", 12, TRUE) == CSTR_EQUAL) {
        program_data = std::wstring(text.substr(12));
      }
    }
    DestroyEnvironmentBlock(block);
  }
  if (token != nullptr) CloseHandle(token);
  return Path(narrow(program_data)).child("Tindral");
}

std::vector<std::string> service_log_messages(const Path& log) {
  std::vector<std::string> messages;
  if (!test_support::path_exists(log)) return messages;
  static const std::regex kLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");
  const std::string text = test_support::read_bytes(log);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << "not a service.log line: " << line;
    messages.push_back(match.size() == 2 ? match[1].str() : line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return messages;
}

template <class Condition>
bool wait_until(Condition condition, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return true;
}

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ProcessHandle = std::unique_ptr<void, HandleCloser>;

class ServiceUnderScmTest : public testing::Test {
 protected:
  void SetUp() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_ && GetLastError() == ERROR_ACCESS_DENIED) {
      GTEST_SKIP() << "installing a service needs an administrator";
    }
    ASSERT_TRUE(manager_) << "OpenSCManagerW: error " << GetLastError();
    remove_service();

    data_folder_ = service_data_folder();
    clear_data_folder();
    test_support::make_folder(data_folder_);
    test_support::make_folder(tree().child("album"));
    test_support::write_bytes(tree().child("album").child("photo.jpg"), "jpeg");
    test_support::make_folder(tree().child("empty"));
    test_support::write_bytes(data_folder_.child("config.txt"), tree().bytes() + "\r\n");

    const std::wstring binary =
        L"\"" + widen(test_support::built_program(TINDRAL_EXE).bytes()) + L"\"";
    service_.reset(CreateServiceW(manager_.get(), kServiceName, L"Tindral", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
    ASSERT_TRUE(service_) << "CreateServiceW: error " << GetLastError();
  }

  // Runs on every way out of a test, failed assertions included: no service entry and no
  // service process may outlive it.
  void TearDown() override {
    if (service_) {
      stop_and_wait(seconds(10));
      DeleteService(service_.get());
      service_.reset();
    }
    if (!data_folder_.empty()) clear_data_folder();
  }

  Path tree() const { return tmp_ / "tree"; }
  Path stop_flag() const { return data_folder_.child("stop.flag"); }
  Path service_log() const { return data_folder_.child("service.log"); }

  void clear_data_folder() {
    for (const char* name :
         {"config.txt", "service.log", "stop.flag", "paused.flag", "rescan.flag", "cleanup.flag"}) {
      DeleteFileW(widen(data_folder_.child(name).bytes()).c_str());
    }
  }

  // A leftover entry of an earlier run that was killed.
  void remove_service() {
    ServiceHandle leftover(OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!leftover) return;
    service_ = std::move(leftover);
    stop_and_wait(seconds(10));
    DeleteService(service_.get());
    service_.reset();
  }

  void stop_and_wait(seconds timeout) {
    if (status().dwCurrentState == SERVICE_STOPPED) return;
    SERVICE_STATUS ignored{};
    ControlService(service_.get(), SERVICE_CONTROL_STOP, &ignored);
    wait_for_state(SERVICE_STOPPED, timeout);
  }

  SERVICE_STATUS_PROCESS status() {
    SERVICE_STATUS_PROCESS current{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&current), sizeof(current), &needed)) {
      ADD_FAILURE() << "QueryServiceStatusEx: error " << GetLastError();
    }
    return current;
  }

  bool wait_for_state(DWORD state, milliseconds timeout) {
    return wait_until([&] { return status().dwCurrentState == state; }, timeout);
  }

  // Starts the service, waits for its running report and returns a handle on its process.
  ProcessHandle start() {
    if (!StartServiceW(service_.get(), 0, nullptr)) {
      ADD_FAILURE() << "StartServiceW: error " << GetLastError();
      return nullptr;
    }
    if (!wait_for_state(SERVICE_RUNNING, seconds(30))) {
      ADD_FAILURE() << "not running; state " << status().dwCurrentState;
      return nullptr;
    }
    const SERVICE_STATUS_PROCESS running = status();
    EXPECT_EQ(running.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(running.dwWin32ExitCode, 0u);
    EXPECT_EQ(running.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(running.dwCheckPoint, 0u);
    EXPECT_EQ(running.dwWaitHint, 0u);
    ProcessHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running.dwProcessId));
    EXPECT_TRUE(process) << "OpenProcess: error " << GetLastError();
    return process;
  }

  // The stopped report with exit code 0, and a service process that has ended with exit code 0.
  void expect_stopped_cleanly(HANDLE process) {
    const SERVICE_STATUS_PROCESS stopped = status();
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
    ASSERT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0) << "the process is still alive";
    DWORD exit_code = 1;
    GetExitCodeProcess(process, &exit_code);
    EXPECT_EQ(exit_code, 0u);
  }

  bool log_has(std::string_view prefix, std::size_t times, milliseconds timeout) {
    return wait_until(
        [&] {
          std::size_t seen = 0;
          for (const std::string& message : service_log_messages(service_log())) {
            if (message.rfind(prefix, 0) == 0) ++seen;
          }
          return seen >= times;
        },
        timeout);
  }

  // The tree's source: the volume's change journal on NTFS, ReadDirectoryChangesW elsewhere
  // (Wine has no journal).
  void expect_watching_line(const std::string& message) const {
    const std::string head = "Watching " + tree().display() + " for changes: ";
    EXPECT_THAT(message, testing::AnyOf(testing::Eq(head + "USN journal"),
                                        testing::Eq(head + "ReadDirectoryChangesW")));
  }

  ServiceHandle manager_;
  ServiceHandle service_;
  Path data_folder_;
  test_support::TempDir tmp_;
};

TEST_F(ServiceUnderScmTest, RunsScansAndStopsThroughTheStopFlagAndThroughTheStopControl) {
  // First run: the start-up scan, then stop.flag.
  ProcessHandle first = start();
  ASSERT_TRUE(first);
  ASSERT_TRUE(log_has("Initial scan complete: ", 1, seconds(30)));
  EXPECT_TRUE(test_support::path_exists(tree().child("album").child("desktop.ini")));
  EXPECT_TRUE(test_support::path_exists(tree().child("desktop.ini")));
  EXPECT_FALSE(test_support::path_exists(tree().child("empty").child("desktop.ini")));

  // Interrogate is answered; a user-defined control changes nothing. (What ControlService
  // returns for the refused code is not asserted: Wine reports success whatever the handler
  // answered. The handler's answers are checked through control_result.)
  SERVICE_STATUS answer{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &answer))
      << "error " << GetLastError();
  ControlService(service_.get(), 200, &answer);
  EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  test_support::write_bytes(stop_flag(), "");
  ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, kPollInterval + kMargin));
  expect_stopped_cleanly(first.get());
  EXPECT_FALSE(test_support::path_exists(stop_flag()));
  const std::vector<std::string> first_run = service_log_messages(service_log());
  ASSERT_EQ(first_run.size(), 5u);
  EXPECT_EQ(first_run[0], "Tindral Service started");
  expect_watching_line(first_run[1]);
  EXPECT_THAT(first_run[2],
              StartsWith("Initial scan complete: 3 folders, 2 written, 0 removed, took "));
  EXPECT_EQ(first_run[3], "Stop flag detected, shutting down service");
  EXPECT_EQ(first_run[4], "Tindral Service stopped");

  // Second run: the stop control reaches the worker, which leaves its sleep at once.
  ProcessHandle second = start();
  ASSERT_TRUE(second);
  ASSERT_TRUE(log_has("Initial scan complete: 3 folders, 0 written, 0 removed", 1, seconds(30)));
  const auto stop_sent = std::chrono::steady_clock::now();
  SERVICE_STATUS stop_answer{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &stop_answer))
      << "error " << GetLastError();
  ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - stop_sent, seconds(5));
  expect_stopped_cleanly(second.get());
  const std::vector<std::string> second_run = service_log_messages(service_log());
  ASSERT_GT(second_run.size(), first_run.size() + 2);
  EXPECT_EQ(second_run[first_run.size()], "Tindral Service started");
  EXPECT_EQ(second_run.back(), "Tindral Service stopped");
}

// A stop control in the middle of a long scan reaches the walk, which ends at the next folder:
// the service reports STOPPED within seconds however large the tree, after saying how far the
// scan got, and the folders it had not finished keep what they had.
TEST_F(ServiceUnderScmTest, AStopControlEndsALongScanWithinSeconds) {
  constexpr int kFolders = 3000;
  const Path big = tree().child("big");
  test_support::make_folder(big);
  for (int i = 0; i < kFolders; ++i) {
    const Path folder = big.child(std::to_string(i));
    test_support::make_folder(folder);
    test_support::write_bytes(folder.child("photo.jpg"), "jpeg");
  }
  ProcessHandle service = start();
  ASSERT_TRUE(service);
  ASSERT_TRUE(log_has("Tindral Service started", 1, seconds(30)));
  std::this_thread::sleep_for(milliseconds(500));
  if (log_has("Initial scan complete", 1, milliseconds(0))) {
    GTEST_SKIP() << "the scan of " << kFolders << " folders ended before the stop was sent";
  }

  const auto stop_sent = std::chrono::steady_clock::now();
  SERVICE_STATUS answer{};
  EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &answer))
      << "error " << GetLastError();
  ASSERT_TRUE(wait_for_state(SERVICE_STOPPED, seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - stop_sent, seconds(5));
  expect_stopped_cleanly(service.get());

  const std::vector<std::string> messages = service_log_messages(service_log());
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "Tindral Service started");
  expect_watching_line(messages[1]);
  EXPECT_THAT(messages[2], StartsWith("Initial scan cut short by a stop request: "));
  const std::size_t folders = std::stoul(messages[2].substr(messages[2].find(": ") + 2));
  EXPECT_LT(folders, static_cast<std::size_t>(kFolders));
  EXPECT_EQ(messages[3], "Stop requested by the service manager, shutting down service");
  EXPECT_EQ(messages[4], "Tindral Service stopped");
  // The root is decided after everything below it.
  EXPECT_FALSE(test_support::path_exists(tree().child("desktop.ini")));
}

// A photo copied (from the Windows side, which Wine's notifications follow) into a new chain of
// five folders gets its icons long before the next pass, and the log sums that up in one line.
TEST_F(ServiceUnderScmTest, APhotoCopiedIntoNewNestedFoldersGetsItsIconsWithoutWaitingForAPass) {
  ProcessHandle service = start();
  ASSERT_TRUE(service);
  ASSERT_TRUE(log_has("Initial scan complete: 3 folders, 2 written, 0 removed", 1, seconds(30)));
  Path deepest = tree().child("trip");
  for (const char* level : {"day1", "morning", "beach", "north"}) deepest = deepest.child(level);
  test_support::make_folder(deepest);
  test_support::write_bytes(deepest.child("photo.jpg"), "jpeg");

  // Well within a pass; the deadline only keeps a broken service from hanging the test.
  ASSERT_TRUE(log_has("Updated after changes: ", 1, seconds(25)));
  EXPECT_TRUE(test_support::path_exists(deepest.child("desktop.ini")));
  EXPECT_TRUE(test_support::path_exists(tree().child("trip").child("desktop.ini")));
  stop_and_wait(seconds(10));
  expect_stopped_cleanly(service.get());
  const std::vector<std::string> messages = service_log_messages(service_log());
  ASSERT_EQ(messages.size(), 6u) << testing::PrintToString(messages);
  expect_watching_line(messages[1]);
  EXPECT_TRUE(std::regex_match(
      messages[3],
      std::regex("Updated after changes: [0-9]+ folders looked at, 5 written, 0 removed")))
      << messages[3];
}

class ProcessEntryTest : public testing::Test {
 protected:
  test_support::TempDir tmp_;
};

TEST_F(ProcessEntryTest, OutsideTheServiceControlManagerTheDispatcherCallFailsWith1063) {
  const test_support::ChildOutcome outcome =
      test_support::run_child(test_support::built_program(TINDRAL_EXE), {}, {}, tmp_.path());
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_THAT(outcome.err, StartsWith("Error: IO error in winapi call\n\nCaused by:\n    "));
  EXPECT_THAT(outcome.err, EndsWith(" (os error 1063)\n"));
  EXPECT_EQ(outcome.out, "");
}

TEST_F(ProcessEntryTest, AnArgumentThatIsNotValidUtf16EndsTheProcessAbnormally) {
  const std::wstring program = widen(test_support::built_program(TINDRAL_EXE).bytes());
  // "--console" with an unpaired high surrogate attached.
  std::wstring command_line = L"\"" + program + L"\" --console";
  command_line += static_cast<wchar_t>(0xD800);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &process))
      << "error " << GetLastError();
  CloseHandle(process.hThread);
  ProcessHandle child(process.hProcess);
  ASSERT_EQ(WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
  DWORD exit_code = 0;
  GetExitCodeProcess(child.get(), &exit_code);
  EXPECT_EQ(exit_code, 101u);
}

}  // namespace
}  // namespace tindral
