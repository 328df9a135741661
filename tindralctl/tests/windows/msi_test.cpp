// The MSI package installed and removed with msiexec, silently, as an administrator would deploy
// it: the service runs and scans, and after removal the service, the programs and every
// desktop.ini the service wrote are gone while config.txt stays.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/environment.h"
#include "support/service_log_lines.h"
#include "tindralctl_fixture.h"

namespace tindral::testing {
namespace {

using ::testing::Contains;
using ::testing::StartsWith;

class MsiTest : public TindralctlTest {
 protected:
  // msiexec hands the work to the Windows Installer service, which inherits the handles of the
  // child's output files and keeps running; stopped, it lets the test folder go.
  void TearDown() override {
    platform::ServiceControl& services = platform::real_service_control();
    if (Result<platform::StopRequest> sent = services.stop("msiserver");
        sent && *sent == platform::StopRequest::Sent) {
      for (int i = 0; i < 100; ++i) {
        Result<platform::ServiceState> state = services.state("msiserver");
        if (!state || *state == platform::ServiceState::Stopped) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    TindralctlTest::TearDown();
  }

  Path tree() const { return tmp_ / "tree"; }

  Path program_folder() const {
    return Path(platform::get_env("ProgramFiles").value).child("Tindral");
  }

  ChildOutcome msiexec(const std::string& action) {
    const Path msiexec =
        Path(platform::get_env("SystemRoot").value).child("system32").child("msiexec.exe");
    return run_child(msiexec, {action, built_program(TINDRAL_MSI).bytes(), "/qn"}, {}, tmp_.path(),
                     std::chrono::seconds(300));
  }

  std::vector<std::string> log_messages() {
    return path_exists(file("service.log")) ? service_log_messages(read_bytes(file("service.log")))
                                            : std::vector<std::string>{};
  }

  bool wait_for_log(std::string_view prefix, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const std::string& message : log_messages()) {
        if (message.starts_with(prefix)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
};

TEST_F(MsiTest, InstallsStartsScansAndRemovesEverythingButTheConfiguration) {
  make_folder(tree().child("album"));
  write_bytes(tree().child("album").child("photo.jpg"), "jpeg");
  make_folder(data_folder_);
  write_bytes(file("config.txt"), tree().bytes() + "\r\n");

  const ChildOutcome installed = msiexec("/i");
  ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;
  for (const char* name : {"tindral.exe", "tindralctl.exe", "folder.ico"}) {
    EXPECT_TRUE(path_exists(program_folder().child(name))) << name;
  }
  EXPECT_TRUE(read_bytes(file("folder.ico")) == read_bytes(built_program(TINDRAL_DEFAULT_ICON)))
      << "the data folder's icon is not the default one";
  platform::ServiceControl& services = platform::real_service_control();
  EXPECT_EQ(*services.state(SERVICE_NAME), platform::ServiceState::Running);
  ASSERT_TRUE(wait_for_log("Initial scan complete: 2 folders, 2 written, 0 removed",
                           std::chrono::seconds(60)));
  EXPECT_TRUE(path_exists(tree().child("album").child("desktop.ini")));

  const ChildOutcome removed = msiexec("/x");
  ASSERT_EQ(removed.exit_code, 0) << removed.out << removed.err;
  EXPECT_FALSE(*services.installed(SERVICE_NAME));
  EXPECT_FALSE(path_exists(program_folder().child("tindral.exe")));
  EXPECT_FALSE(path_exists(program_folder().child("tindralctl.exe")));
  EXPECT_FALSE(path_exists(tree().child("desktop.ini")));
  EXPECT_FALSE(path_exists(tree().child("album").child("desktop.ini")));
  EXPECT_THAT(log_messages(),
              Contains("Cleanup complete: 2 folders visited, 2 desktop.ini removed"));
  EXPECT_EQ(read_bytes(file("config.txt")), tree().bytes() + "\r\n");
  // The cleanup's pause goes with the service, so that installing again gives one that scans.
  EXPECT_FALSE(path_exists(file("paused.flag")));
}

}  // namespace
}  // namespace tindral::testing
