#pragma once

// What the tindralctl tests share: the built programs run as child processes with a data folder
// and (natively) a unit folder of the test's own, and the service entry removed afterwards.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/data_folder.h"
#include "platform/elevation.h"
#include "platform/service_control.h"
#include "service_name.h"
#include "support/child_process.h"
#include "support/machine.h"
#include "support/real_disk.h"
#include "support/scoped_env.h"

namespace tindral::test_support {

class TindralctlTest : public testing::Test {
 protected:
  // The variables are set in this process, so that the children inherit them and the test
  // computes the data folder as tindralctl does: natively ProgramData is the test's own folder;
  // on Windows the service's environment decides (under Wine C:\users\Public).
  TindralctlTest()
      : program_data_("ProgramData", (tmp_ / "programdata").bytes()),
        unit_dir_("TINDRAL_UNIT_DIR", (tmp_ / "units").bytes()),
        no_color_("NO_COLOR", "1"),
        data_folder_(data_folder_for(platform::service_environment_variable("ProgramData"))) {}

  void SetUp() override {
    if (!platform::process_is_elevated()) {
      GTEST_SKIP() << "installing a service needs an administrator (root)";
    }
    if (systemd_runs()) {
      GTEST_SKIP() << "systemd runs on this machine: tindralctl install would register the "
                      "test's service with it; these tests drive the service without systemd";
    }
    make_folder(tmp_ / "units");
    remove_service();
    remove_tree(data_folder_);
  }

  void TearDown() override {
    remove_service();
    service_.reset();
    remove_tree(data_folder_);
  }

  /// Runs tindralctl to its end.
  ChildOutcome tindralctl(std::vector<std::string> arguments) {
    return run_child(built_program(TINDRALCTL_EXE), arguments, {}, tmp_.path(),
                     std::chrono::seconds(300));
  }

  /// Starts the service where no service manager does (natively without systemd), the way
  /// systemd would; the service manager starts it otherwise.
  void start_service_without_manager() {
    service_ =
        std::make_unique<ChildProcess>(built_program(TINDRAL_EXE), std::vector<std::string>{},
                                       EnvironmentChanges{{"INVOCATION_ID", "0"}}, tmp_.path());
    ASSERT_TRUE(service_->started());
  }

  bool no_service_manager() {
    Result<platform::ServiceState> state = platform::real_service_control().state(SERVICE_NAME);
    return state && *state == platform::ServiceState::Unknown;
  }

  /// A leftover entry of an earlier run, or the one a test made.
  void remove_service() {
    platform::ServiceControl& services = platform::real_service_control();
    Result<bool> installed = services.installed(SERVICE_NAME);
    if (!installed || !*installed) return;
    if (Result<platform::StopRequest> sent = services.stop(SERVICE_NAME);
        sent && *sent == platform::StopRequest::Sent) {
      for (int i = 0; i < 100; ++i) {
        Result<platform::ServiceState> state = services.state(SERVICE_NAME);
        if (!state || *state == platform::ServiceState::Stopped) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    static_cast<void>(services.remove(SERVICE_NAME));
  }

  Path file(std::string_view name) const { return data_folder_.child(name); }

  TempDir tmp_;
  ScopedEnv program_data_;
  ScopedEnv unit_dir_;
  ScopedEnv no_color_;
  Path data_folder_;
  std::unique_ptr<ChildProcess> service_;
};

}  // namespace tindral::test_support
