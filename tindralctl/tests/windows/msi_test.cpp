// The MSI package installed and removed with msiexec, silently, as an administrator would deploy
// it: the service runs and scans, and after removal the service, the programs and every
// desktop.ini the service wrote are gone while config.txt stays.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/environment.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/service_log_lines.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::Contains;
using testing::StartsWith;

std::wstring widen(std::string_view utf8) {
  return platform::win32::wtf8_to_wide(utf8).value_or(std::wstring());
}

class MsiTest : public TindralctlTest {
 protected:
  // Under Wine a process of the Windows Installer that inherited msiexec's output files lives on
  // for some seconds after msiexec has ended; the files (and so the test folder) can go only
  // after it.
  void TearDown() override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (output_still_held() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_FALSE(output_still_held()) << "msiexec's output files are still open elsewhere";
    TindralctlTest::TearDown();
  }

  // A file that another process holds open cannot be opened without sharing.
  bool output_still_held() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(widen(msiexec_output().bytes())), ignored)) {
      HANDLE file = CreateFileW(entry.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
      CloseHandle(file);
    }
    return false;
  }

  Path msiexec_output() const { return tmp_ / "msiexec"; }

  Path tree() const { return tmp_ / "tree"; }

  Path program_folder() const {
    return Path(platform::get_env("ProgramFiles").value).child("Tindral");
  }

  ChildOutcome msiexec(const std::string& action) {
    const Path msiexec =
        Path(platform::get_env("SystemRoot").value).child("system32").child("msiexec.exe");
    make_folder(msiexec_output());
    return run_child(msiexec, {action, built_program(TINDRAL_MSI).bytes(), "/qn"}, {},
                     msiexec_output(), std::chrono::seconds(300));
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
}  // namespace tindral::test_support
