// What tindralctl says in each state the service can be in, byte for byte: the commands run in
// this process against a data folder of the test's own and a service manager whose state the
// test sets, so that a stopped, a running and an unknown service are all reachable on both
// targets. Also: start, restart and version, --quiet, and that every help text fits a console.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/elevation.h"
#include "platform/file_system.h"
#include "platform/service_control.h"
#include "support/child_process.h"
#include "support/real_disk.h"
#include "tindralctl.h"

namespace tindral::test_support {
namespace {

using platform::ServiceState;

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// A service manager that answers from what the test set, and does what is asked of it.
class FakeServiceManager final : public platform::ServiceControl {
 public:
  bool registered = true;
  ServiceState current = ServiceState::Stopped;
  ServiceState after_start = ServiceState::Running;
  Path executable;
  std::vector<std::string> calls;

  Result<platform::PrivilegeLimit> install(const platform::ServiceDefinition&) override {
    calls.push_back("install");
    return Error("not part of these tests");
  }
  Result<platform::PrivilegeLimit> configure(const platform::ServiceDefinition&) override {
    calls.push_back("configure");
    return Error("not part of these tests");
  }
  Result<bool> installed(std::string_view) override { return registered; }
  Result<ServiceState> state(std::string_view) override {
    if (!registered) return Error("not installed", ErrorKind::NotFound);
    return current;
  }
  Result<void> start(std::string_view) override {
    calls.push_back("start");
    current = after_start;
    return {};
  }
  Result<platform::StopRequest> stop(std::string_view) override {
    if (current == ServiceState::Unknown) return platform::StopRequest::NoServiceManager;
    if (current == ServiceState::Stopped) return platform::StopRequest::AlreadyStopped;
    calls.push_back("stop");
    current = ServiceState::Stopped;
    return platform::StopRequest::Sent;
  }
  Result<void> remove(std::string_view) override {
    calls.push_back("remove");
    return Error("not part of these tests");
  }
  Result<Path> program(std::string_view) override { return executable; }
};

struct Outcome {
  int exit_code;
  std::string out;
  std::string err;
};

// The states of the table's rows.
enum class Service { NotInstalled, Stopped, Running, NoManager };

struct Row {
  Service service;
  bool paused;
  std::vector<std::string> arguments;
  int exit_code;
  std::string out;
  std::string err;
};

class MessagesTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!platform::process_is_elevated()) {
      GTEST_SKIP() << "the commands that change things need an administrator (root)";
    }
    make_folder(data_folder());
  }

  Path data_folder() const { return tmp_ / "data"; }
  Path file(std::string_view name) const { return data_folder().child(name); }
  // A folder the service would scan, listed in config.txt.
  Path root() const { return tmp_ / "photos"; }

  void enter(Service service, bool paused) {
    services_.registered = service != Service::NotInstalled;
    services_.current = service == Service::Running     ? ServiceState::Running
                        : service == Service::NoManager ? ServiceState::Unknown
                                                        : ServiceState::Stopped;
    make_folder(root());
    write_bytes(file("config.txt"), root().bytes() + "\n");
    write_bytes(file("settings.txt"), "interval=1\n");
    remove_tree(file("paused.flag"));
    remove_tree(file("rescan.flag"));
    if (paused) write_bytes(file("paused.flag"), "");
  }

  Outcome run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "tindralctl");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int exit_code = ctl::run_tindralctl(arguments, [this] {
      return ctl::Context{platform::real_file_system(), services_, data_folder()};
    });
    std::string out = testing::internal::GetCapturedStdout();
    return {exit_code, std::move(out), testing::internal::GetCapturedStderr()};
  }

  void expect_rows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      enter(row.service, row.paused);
      std::string call;
      for (const std::string& argument : row.arguments) call += " " + argument;
      SCOPED_TRACE("state " + std::to_string(static_cast<int>(row.service)) +
                   (row.paused ? ", paused" : "") + ": tindralctl" + call);
      const Outcome outcome = run(row.arguments);
      EXPECT_EQ(outcome.exit_code, row.exit_code);
      EXPECT_EQ(outcome.out, row.out);
      EXPECT_EQ(outcome.err, row.err);
    }
  }

  TempDir tmp_;
  FakeServiceManager services_;
};

std::string error_report(const std::string& message, const std::string& cause) {
  return "Error: " + message + "\n\nCaused by:\n    " + cause + "\n";
}

TEST_F(MessagesTest, EachMessageSaysWhatIsTrueInTheServicesState) {
  const std::string taken_up_later =
      "rescan.flag created.\nThe service is stopped: it takes the flag up when it starts "
      "(tindralctl start";
  const std::string root_line = "\n  " + root().bytes() + "  (";
  expect_rows({
      {Service::Stopped,
       false,
       {"rescan"},
       0,
       taken_up_later + ", or tindralctl rescan --wait, which starts it).\n",
       ""},
      {Service::Stopped,
       true,
       {"rescan"},
       0,
       taken_up_later + ") and tindralctl resume has ended its pause.\n",
       ""},
      {Service::Running,
       false,
       {"rescan"},
       0,
       "rescan.flag created.\nThe service takes it up at the end of its current pause (within "
       "about 30 seconds); service.log (tindralctl log) tells when it is done.\n",
       ""},
      {Service::Running,
       true,
       {"rescan"},
       0,
       "rescan.flag created.\nThe service is paused: it takes the flag up after tindralctl "
       "resume.\n",
       ""},
      {Service::NoManager,
       false,
       {"rescan"},
       0,
       "rescan.flag created.\nNo service manager says whether the service runs; if it does, it "
       "takes the flag up within about 30 seconds (tindralctl log tells when).\n",
       ""},
      {Service::NotInstalled,
       false,
       {"rescan"},
       4,
       "",
       error_report("The service TindralCache is not installed",
                    kWindows ? "tindralctl install (or the MSI package) installs it"
                             : "tindralctl install installs it")},
      {Service::Running,
       false,
       {"rescan", "--timeout", "5"},
       2,
       "",
       error_report("The option --timeout needs --wait",
                    "tindralctl rescan --help tells how to call it")},
      {Service::Running,
       false,
       {"cleanup", "--timeout", "5"},
       2,
       "",
       error_report("The option --timeout needs --wait",
                    "tindralctl cleanup --help tells how to call it")},
      {Service::Running,
       false,
       {"roots", "remove", root().bytes()},
       0,
       "Removed " + root().bytes() +
           " from config.txt. The desktop.ini files the service wrote below it stay: a cleanup "
           "covers only listed roots, so to remove them add it again (tindralctl roots add), "
           "run tindralctl cleanup --wait, then remove it.\n",
       ""},
      {Service::Running, false, {"interval"}, 0, "Rescan interval: 1 minute\n", ""},
      {Service::Running,
       false,
       {"interval", "1"},
       0,
       "Rescan interval set to 1 minute; the service reads it at its next pass.\n",
       ""},
      {Service::Stopped,
       false,
       {"interval", "2"},
       0,
       "Rescan interval set to 2 minutes; the service reads it when it starts.\n",
       ""},
      {Service::Running,
       false,
       {"interval", "0"},
       2,
       "",
       error_report("Interval 0 is out of range",
                    "MINUTES is a whole number from 1 to 4294967295")},
      {Service::Running,
       false,
       {"interval", "4294967296"},
       2,
       "",
       error_report("Interval 4294967296 is out of range",
                    "MINUTES is a whole number from 1 to 4294967295")},
      {Service::Running,
       false,
       {"interval", "1.5"},
       2,
       "",
       error_report("Malformed interval 1.5", "MINUTES is a whole number from 1 to 4294967295")},
      {Service::Running,
       true,
       {"pause"},
       0,
       "The service is paused already (paused.flag); tindralctl resume ends the pause.\n",
       ""},
      {Service::Stopped,
       false,
       {"pause"},
       0,
       "paused.flag created: when the service starts it does not scan until tindralctl "
       "resume.\n",
       ""},
      {Service::Running, false, {"resume"}, 0, "The service is not paused.\n", ""},
      {Service::Stopped,
       true,
       {"resume"},
       0,
       "paused.flag deleted: the service scans when it starts (tindralctl start).\n",
       ""},
      {Service::Running,
       false,
       {"install"},
       1,
       "",
       error_report("The service TindralCache is installed already",
                    "tindralctl uninstall removes it first")},
  });
  EXPECT_THAT(services_.calls, testing::IsEmpty());

  // status: a root the service would scan says why it is not scanned now.
  for (const auto& [service, paused, reason] : std::vector<std::tuple<Service, bool, std::string>>{
           {Service::Running, false, "scanned"},
           {Service::Running, true, "not scanned: the service is paused"},
           {Service::Stopped, false, "not scanned: the service is stopped"},
           {Service::NotInstalled, false, "not scanned: the service is not installed"},
       }) {
    enter(service, paused);
    const Outcome status = run({"status"});
    EXPECT_THAT(status.out, testing::HasSubstr(root_line + reason + ")\nInterval: 1 minute\n"));
  }
}

TEST_F(MessagesTest, StartAndRestartGoThroughTheServiceManager) {
  struct StartRow {
    ServiceState before;
    ServiceState after_start;
    std::vector<std::string> arguments;
    int exit_code;
    std::string out;
    std::string err;
    std::vector<std::string> calls;
  };
  const std::string no_manager_cause =
      "Start the service's program the way this machine starts services; tindralctl stop and "
      "the flags still reach it";
  for (const StartRow& row : std::vector<StartRow>{
           {ServiceState::Stopped,
            ServiceState::Running,
            {"start"},
            0,
            "Started the service TindralCache.\n",
            "",
            {"start"}},
           {ServiceState::Running,
            ServiceState::Running,
            {"start"},
            0,
            "The service TindralCache is running already.\n",
            "",
            {}},
           {ServiceState::Stopped,
            ServiceState::Stopped,
            {"start"},
            1,
            "",
            error_report("The service TindralCache did not keep running after its start",
                         "service.log (tindralctl log) and the system's log tell why"),
            {"start"}},
           {ServiceState::Unknown,
            ServiceState::Running,
            {"start"},
            1,
            "",
            error_report("No service manager runs here, so tindralctl cannot start the service",
                         no_manager_cause),
            {}},
           {ServiceState::Running,
            ServiceState::Running,
            {"restart"},
            0,
            "The service has stopped.\nStarted the service TindralCache.\n",
            "",
            {"stop", "start"}},
           {ServiceState::Stopped,
            ServiceState::Running,
            {"restart"},
            0,
            "The service is stopped.\nStarted the service TindralCache.\n",
            "",
            {"start"}},
           {ServiceState::Unknown,
            ServiceState::Running,
            {"restart"},
            1,
            "",
            error_report("No service manager runs here, so tindralctl cannot restart the service",
                         no_manager_cause),
            {}},
       }) {
    SCOPED_TRACE(row.arguments.front() + " from " + std::string(platform::describe(row.before)));
    services_.current = row.before;
    services_.after_start = row.after_start;
    services_.calls.clear();
    const Outcome outcome = run(row.arguments);
    EXPECT_EQ(outcome.exit_code, row.exit_code);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(services_.calls, row.calls);
  }
}

// The installed program's version is read from the program itself: its version resource on
// Windows, its --version natively.
TEST_F(MessagesTest, VersionShowsTindralctlsAndTheInstalledServicesVersion) {
  services_.executable = built_program(TINDRAL_EXE);
  for (const char* spelling : {"version", "--version"}) {
    const Outcome outcome = run({spelling});
    EXPECT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "tindralctl " TINDRAL_VERSION "\nService TindralCache: " TINDRAL_VERSION
                           " (" +
                               services_.executable.display() + ")\n");
  }
  services_.executable = tmp_ / "missing";
  const Outcome missing = run({"version"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out, "tindralctl " TINDRAL_VERSION "\n");
  EXPECT_THAT(missing.err, testing::StartsWith("Error: Failed to read the version of " +
                                               services_.executable.display() + "\n"));
  services_.registered = false;
  const Outcome absent = run({"version"});
  EXPECT_EQ(absent.exit_code, 4);
  EXPECT_EQ(absent.out, "tindralctl " TINDRAL_VERSION "\nService TindralCache: not installed\n");
}

// --quiet takes away what a command prints on success and nothing else.
TEST_F(MessagesTest, QuietCommandsPrintNothingOnSuccessAndStillReportErrors) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"rescan"},
           {"cleanup"},
           {"pause"},
           {"resume"},
           {"start"},
           {"restart"},
           {"stop"},
           {"interval", "3"},
           {"interval", "0"},
           {"roots", "remove", root().bytes()},
           {"roots", "add", (tmp_ / "missing").bytes()},
       }) {
    SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments[1] : ""));
    enter(Service::Running, arguments.front() == "resume");
    const Outcome loud = run(arguments);
    enter(Service::Running, arguments.front() == "resume");
    std::vector<std::string> quiet = arguments;
    quiet.insert(quiet.begin() + 1, "--quiet");
    const Outcome silent = run(quiet);
    EXPECT_EQ(silent.exit_code, loud.exit_code);
    EXPECT_EQ(silent.err, loud.err);
    EXPECT_EQ(silent.out, "");
    EXPECT_NE(loud.out + loud.err, "");
  }
  EXPECT_EQ(run({"version", "--quiet"}).exit_code, 2) << "version answers a question";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Columns as a console counts them: one per character, not per UTF-8 byte.
std::size_t columns(const std::string& line) {
  return static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Every help text fits an 80-column console, and each command's on one screen of it.
TEST_F(MessagesTest, EveryHelpFitsAConsole) {
  const Outcome overview = run({"--help"});
  ASSERT_EQ(overview.exit_code, 0);
  std::vector<std::string> commands;
  bool listing = false;
  for (const std::string& line : lines_of(overview.out)) {
    EXPECT_LE(columns(line), 80u) << "tindralctl --help: " << line;
    if (line == "Commands:") {
      listing = true;
    } else if (line.empty()) {
      listing = false;
    } else if (listing && line.starts_with("  ") && line[2] != ' ') {
      commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  EXPECT_THAT(commands, testing::IsSupersetOf({"status", "start", "restart", "version", "roots",
                                               "install", "uninstall"}));
  for (const std::string& command : commands) {
    const Outcome help = run({"help", command});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_EQ(run({command, "--help"}).out, help.out) << command;
    const std::vector<std::string> lines = lines_of(help.out);
    EXPECT_LE(lines.size(), 24u) << "tindralctl help " << command << ":\n" << help.out;
    for (const std::string& line : lines) {
      EXPECT_LE(columns(line), 80u) << "tindralctl help " << command << ": " << line;
    }
    // Natively there is no installer package to point to.
    if (!kWindows) {
      EXPECT_THAT(help.out, testing::Not(testing::HasSubstr("MSI"))) << command;
    }
  }
}

}  // namespace
}  // namespace tindral::test_support
