#include "service_main.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "log.h"
#include "log_targets.h"
#include "support/log_capture.h"

namespace tindral {
namespace {

using testing::ElementsAre;

struct ControlCase {
  std::uint32_t control;
  std::uint32_t expected;
};

TEST(ControlResultTest, AnswersStopAndInterrogateAndRefusesEveryOtherCode) {
  const ControlCase cases[] = {
      {1, 0},      // stop
      {4, 0},      // interrogate
      {0, 120},    // not a control
      {2, 120},    // pause
      {3, 120},    // continue
      {5, 120},    // shutdown
      {6, 120},    // parameters changed
      {7, 120},    // network binding add
      {10, 120},   // network binding disable
      {11, 120},   // device event
      {14, 120},   // session change
      {15, 120},   // preshutdown
      {16, 120},   // time change
      {32, 120},   // trigger event
      {128, 120},  // first user-defined code
      {200, 120},
      {255, 120},  // last user-defined code
      {0xFFFFFFFF, 120},
  };
  for (const ControlCase& c : cases) {
    EXPECT_EQ(control_result(c.control), c.expected) << "control " << c.control;
  }
}

TEST(ControlHandlerTest, OnlyTheStopControlRaisesTheServiceStopSignal) {
  // The only test that touches the process-wide signal: it cannot be lowered again.
  for (std::uint32_t control : {2u, 3u, 4u, 5u, 15u, 200u}) {
    control_handler(control);
    EXPECT_FALSE(service_stop_signal().requested()) << "control " << control;
  }
  EXPECT_EQ(control_handler(1), 0u);
  EXPECT_TRUE(service_stop_signal().requested());
  EXPECT_EQ(control_handler(1), 0u) << "a second stop is answered the same way";
}

TEST(StatusReportTest, RunningAndStoppedReportsCarryExactlyTheDocumentedFields) {
  const platform::ServiceStatus running = running_report();
  EXPECT_EQ(running.service_type, 0x10u);
  EXPECT_EQ(running.current_state, 4u);
  EXPECT_EQ(running.controls_accepted, 1u);
  EXPECT_EQ(running.win32_exit_code, 0u);
  EXPECT_EQ(running.service_specific_exit_code, 0u);
  EXPECT_EQ(running.checkpoint, 0u);
  EXPECT_EQ(running.wait_hint, 0u);

  const platform::ServiceStatus stopped = stopped_report();
  EXPECT_EQ(stopped.service_type, 0x10u);
  EXPECT_EQ(stopped.current_state, 1u);
  EXPECT_EQ(stopped.controls_accepted, 0u);
  EXPECT_EQ(stopped.win32_exit_code, 0u);
  EXPECT_EQ(stopped.service_specific_exit_code, 0u);
  EXPECT_EQ(stopped.checkpoint, 0u);
  EXPECT_EQ(stopped.wait_hint, 0u);
}

// Records what the service main asks of the service manager, in order, and fails on demand.
class RecordingConnection final : public platform::ServiceConnection {
 public:
  std::vector<std::string> calls;
  platform::ControlHandler handler = nullptr;
  std::vector<platform::ServiceStatus> reports;
  bool fail_registration = false;
  std::optional<std::uint32_t> fail_report_of_state;

  Result<void> register_control_handler(std::string_view service_name,
                                        platform::ControlHandler registered) override {
    calls.push_back("register " + std::string(service_name));
    if (fail_registration) return winapi_failure();
    handler = registered;
    return {};
  }

  Result<void> report_status(const platform::ServiceStatus& status) override {
    calls.push_back("report " + std::to_string(status.current_state));
    if (fail_report_of_state == status.current_state) return winapi_failure();
    reports.push_back(status);
    return {};
  }

 private:
  static Error winapi_failure() {
    return Error("The handle is invalid. (os error 6)").wrap("IO error in winapi call");
  }
};

class ServiceMainTest : public testing::Test {
 protected:
  // Runs service_main with a worker that notes what the service manager had seen by then.
  void run() {
    service_main(connection_, [this] {
      worker_saw_ = connection_.calls;
      log::info(log::kTargetServiceImpl, "worker");
    });
  }

  static test_support::LogEvent info(std::string_view target, std::string_view message) {
    return {log::Level::Info, std::string(target), std::string(message)};
  }
  static test_support::LogEvent service_error() {
    return {log::Level::Error, "TindralService", "Service error: IO error in winapi call"};
  }

  RecordingConnection connection_;
  test_support::LogCapture log_;
  std::optional<std::vector<std::string>> worker_saw_;
};

TEST_F(ServiceMainTest, RegistersReportsRunningRunsTheWorkerThenReportsStopped) {
  run();
  EXPECT_THAT(connection_.calls, ElementsAre("register TindralCache", "report 4", "report 1"));
  EXPECT_EQ(connection_.handler, &control_handler);
  ASSERT_EQ(connection_.reports.size(), 2u);
  EXPECT_EQ(connection_.reports[0], running_report());
  EXPECT_EQ(connection_.reports[1], stopped_report());
  ASSERT_TRUE(worker_saw_.has_value());
  EXPECT_THAT(*worker_saw_, ElementsAre("register TindralCache", "report 4"));
  EXPECT_THAT(log_.events(), ElementsAre(info("TindralService", "Tindral Service started"),
                                         info("TindralService::service_impl", "worker"),
                                         info("TindralService", "Tindral Service stopped")));
}

TEST_F(ServiceMainTest, FailedRegistrationReportsNothingAndSkipsTheWorker) {
  connection_.fail_registration = true;
  run();
  EXPECT_THAT(connection_.calls, ElementsAre("register TindralCache"));
  EXPECT_FALSE(worker_saw_.has_value());
  EXPECT_THAT(log_.events(), ElementsAre(service_error()));
}

TEST_F(ServiceMainTest, FailedRunningReportSkipsTheWorkerAndTheStoppedReport) {
  connection_.fail_report_of_state = platform::kServiceRunning;
  run();
  EXPECT_THAT(connection_.calls, ElementsAre("register TindralCache", "report 4"));
  EXPECT_FALSE(worker_saw_.has_value());
  EXPECT_THAT(log_.events(), ElementsAre(service_error()));
}

TEST_F(ServiceMainTest, FailedStoppedReportLogsTheErrorInsteadOfTheStopEvent) {
  connection_.fail_report_of_state = platform::kServiceStopped;
  run();
  EXPECT_THAT(connection_.calls, ElementsAre("register TindralCache", "report 4", "report 1"));
  EXPECT_TRUE(worker_saw_.has_value());
  EXPECT_THAT(log_.events(),
              ElementsAre(info("TindralService", "Tindral Service started"),
                          info("TindralService::service_impl", "worker"), service_error()));
}

}  // namespace
}  // namespace tindral
