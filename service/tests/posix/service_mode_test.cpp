// The native build's service mode, started the way systemd starts it.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/real_disk.h"

namespace tindral {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test_support::ChildProcess;
using test_support::EnvironmentChanges;
using testing::ElementsAre;
using testing::HasSubstr;

// service.log lines without their "[local time] " prefix.
std::vector<std::string> service_log_messages(const Path& log) {
  std::vector<std::string> messages;
  if (!test_support::path_exists(log)) return messages;
  const std::string text = test_support::read_bytes(log);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    messages.push_back(line.substr(std::min(line.find("] "), line.size() - 2) + 2));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return messages;
}

// The structured log's "target: message" parts, in order.
std::vector<std::string> structured_events(const std::string& out) {
  std::vector<std::string> events;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    const std::string line = out.substr(start, end - start);
    const std::size_t target = line.find("TindralService");
    if (target != std::string::npos) events.push_back(line.substr(target));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return events;
}

class ServiceModeTest : public testing::Test {
 protected:
  ServiceModeTest() {
    test_support::make_folder(data_folder());
    test_support::make_folder(tree().child("album"));
    test_support::write_bytes(tree().child("album").child("photo.jpg"), "jpeg");
    test_support::write_bytes(data_folder().child("config.txt"), tree().bytes() + "\n");
  }

  Path program_data() const { return tmp_ / "programdata"; }
  Path data_folder() const { return program_data().child("Tindral"); }
  Path tree() const { return tmp_ / "tree"; }
  Path service_log() const { return data_folder().child("service.log"); }

  EnvironmentChanges service_environment(EnvironmentChanges manager) const {
    EnvironmentChanges environment{{"ProgramData", program_data().bytes()},
                                   {"NO_COLOR", "1"},
                                   {"INVOCATION_ID", std::nullopt},
                                   {"NOTIFY_SOCKET", std::nullopt}};
    environment.insert(environment.end(), manager.begin(), manager.end());
    return environment;
  }

  std::unique_ptr<ChildProcess> start_service(EnvironmentChanges manager) {
    return std::make_unique<ChildProcess>(test_support::built_program(TINDRAL_EXE),
                                          std::vector<std::string>{},
                                          service_environment(std::move(manager)), tmp_.path());
  }

  // Waits until service.log holds `message`.
  bool wait_for_log(const std::string& message, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const std::string& line : service_log_messages(service_log())) {
        if (line.rfind(message, 0) == 0) return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

  // Root may mark the whole file system; any other account watches folder by folder.
  std::string watching_line() const {
    return "Watching " + tree().bytes() +
           " for changes: " + (::geteuid() == 0 ? "fanotify" : "inotify");
  }

  test_support::TempDir tmp_;
};

// A photo copied into a new chain of five folders gets its icons long before the next pass,
// from the deepest folder to the topmost new one, and the log sums that up in one line.
TEST_F(ServiceModeTest, APhotoCopiedIntoNewNestedFoldersGetsItsIconsWithoutWaitingForAPass) {
  auto service = start_service({{"INVOCATION_ID", "0123456789abcdef"}});
  ASSERT_TRUE(service->started());
  ASSERT_TRUE(wait_for_log("Initial scan complete: 2 folders, 2 written, 0 removed", seconds(20)));
  Path deepest = tree().child("trip");
  for (const char* level : {"day1", "morning", "beach", "north"}) deepest = deepest.child(level);
  test_support::make_folder(deepest);
  test_support::write_bytes(deepest.child("photo.jpg"), "jpeg");

  // Well within a pass (30 s); the deadline only keeps a broken service from hanging the test.
  ASSERT_TRUE(wait_for_log("Updated after changes: ", seconds(20)));
  EXPECT_TRUE(test_support::path_exists(deepest.child("desktop.ini")));
  EXPECT_TRUE(test_support::path_exists(tree().child("trip").child("desktop.ini")));
  ASSERT_EQ(kill(static_cast<pid_t>(service->id()), SIGTERM), 0);
  ASSERT_TRUE(service->wait(seconds(10)));

  const std::vector<std::string> messages = service_log_messages(service_log());
  ASSERT_EQ(messages.size(), 6u) << testing::PrintToString(messages);
  EXPECT_EQ(messages[1], watching_line());
  EXPECT_THAT(messages[3], testing::MatchesRegex("Updated after changes: [0-9]+ folders looked at, "
                                                 "5 written, 0 removed"));
  EXPECT_FALSE(wait_for_log("Scan complete", milliseconds(0)));
}

TEST_F(ServiceModeTest, FromATerminalItReportsThatNoServiceManagerStartedIt) {
  const test_support::ChildOutcome outcome = test_support::run_child(
      test_support::built_program(TINDRAL_EXE), {}, service_environment({}), tmp_.path());
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.err,
            "Error: Not started by a service manager\n\nCaused by:\n    neither INVOCATION_ID nor "
            "NOTIFY_SOCKET is set; start it from a systemd unit, or with --console for one "
            "scan\n");
  EXPECT_FALSE(test_support::path_exists(service_log()));
}

TEST_F(ServiceModeTest, AnArgumentThatIsNotUtf8EndsTheProcessAbnormally) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--console\xff"},
        std::vector<std::string>{"--console", "\xc0\xaf"}}) {
    const test_support::ChildOutcome outcome = test_support::run_child(
        test_support::built_program(TINDRAL_EXE), arguments, service_environment({}), tmp_.path());
    EXPECT_EQ(outcome.exit_code, 101);
    EXPECT_THAT(outcome.err, HasSubstr("not valid Unicode"));
    EXPECT_THAT(outcome.out, testing::Not(HasSubstr("Scan complete")));
  }
}

TEST_F(ServiceModeTest, SigtermIsTheStopControlAndEndsTheServicePromptly) {
  auto service = start_service({{"INVOCATION_ID", "0123456789abcdef"}});
  ASSERT_TRUE(service->started());
  ASSERT_TRUE(wait_for_log("Initial scan complete: 2 folders, 2 written, 0 removed", seconds(20)));
  EXPECT_TRUE(test_support::path_exists(tree().child("album").child("desktop.ini")));

  // The worker is now in its 30-second sleep: the stop control must cut it short.
  const auto stop_sent = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(static_cast<pid_t>(service->id()), SIGTERM), 0);
  ASSERT_TRUE(service->wait(seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - stop_sent, seconds(5));
  EXPECT_EQ(service->exit_code(), 0);

  const std::vector<std::string> messages = service_log_messages(service_log());
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages.front(), "Tindral Service started");
  EXPECT_EQ(messages.back(), "Tindral Service stopped");

  const std::vector<std::string> events = structured_events(service->standard_output());
  ASSERT_GE(events.size(), 4u) << service->standard_output();
  EXPECT_EQ(events[0], "TindralService: Tindral Service started");
  EXPECT_EQ(events[1], "TindralService::service_impl: Tindral Service started");
  EXPECT_EQ(events[events.size() - 2], "TindralService::service_impl: Tindral Service stopped");
  EXPECT_EQ(events.back(), "TindralService: Tindral Service stopped");
  EXPECT_EQ(service->standard_error(), "");
}

TEST_F(ServiceModeTest, StopFlagPresentAtStartEndsTheServiceAfterTheStartUpScan) {
  test_support::write_bytes(data_folder().child("stop.flag"), "");
  auto service = start_service({{"INVOCATION_ID", "0123456789abcdef"}});
  ASSERT_TRUE(service->started());
  ASSERT_TRUE(service->wait(seconds(20)));
  EXPECT_EQ(service->exit_code(), 0);
  EXPECT_FALSE(test_support::path_exists(data_folder().child("stop.flag")));
  const std::vector<std::string> messages = service_log_messages(service_log());
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "Tindral Service started");
  EXPECT_EQ(messages[1], watching_line());
  EXPECT_THAT(messages[2],
              testing::StartsWith("Initial scan complete: 2 folders, 2 written, 0 removed, took "));
  EXPECT_EQ(messages[3], "Stop flag detected, shutting down service");
  EXPECT_EQ(messages[4], "Tindral Service stopped");
  EXPECT_EQ(structured_events(service->standard_output()).back(),
            "TindralService: Tindral Service stopped");
}

// A datagram socket in the test's folder, standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const Path& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.bytes().c_str(), sizeof(address.sun_path) - 1);
    bound_ =
        fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool bound() const { return bound_; }

  /// Every datagram that arrived, in order.
  std::vector<std::string> received() {
    std::vector<std::string> messages;
    char buffer[256];
    ssize_t length;
    while ((length = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0) {
      messages.emplace_back(buffer, static_cast<std::size_t>(length));
    }
    return messages;
  }

 private:
  Path path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST_F(ServiceModeTest, StatusReportsReachTheNotificationSocket) {
  NotifySocket notify(tmp_ / "notify");
  ASSERT_TRUE(notify.bound()) << std::strerror(errno);
  test_support::write_bytes(data_folder().child("stop.flag"), "");
  auto service = start_service({{"NOTIFY_SOCKET", (tmp_ / "notify").bytes()}});
  ASSERT_TRUE(service->wait(seconds(20)));
  EXPECT_EQ(service->exit_code(), 0);
  EXPECT_THAT(notify.received(), ElementsAre("READY=1", "STOPPING=1"));
}

}  // namespace
}  // namespace tindral
