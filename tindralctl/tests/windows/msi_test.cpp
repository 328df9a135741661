// The MSI package installed, upgraded and removed with msiexec, silently, as an administrator
// deploys it to many machines: settings from its properties, an upgrade in place that keeps the
// configuration and the icons, no downgrade, and a removal that takes everything but the
// configuration.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/environment.h"
#include "platform/event_log.h"
#include "support/service_log_lines.h"
#include "tindralctl_fixture.h"
#include "windows/service_settings.h"
// After <windows.h>, which it needs.
#include <msi.h>

namespace tindral::test_support {
namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;

// The package's UpgradeCode, the same in every version.
constexpr wchar_t kUpgradeCode[] = L"{5EDBE2DD-5450-47F9-997E-A3AA4081EE10}";

constexpr char kCleanedUp[] = "Cleanup complete: 2 folders visited, 2 desktop.ini removed";

constexpr char kDescription[] =
    "Gives the folders below the roots in config.txt a folder icon (desktop.ini). Steered with "
    "tindralctl.";

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

  /// msiexec ACTION PACKAGE /qn PROPERTIES...
  ChildOutcome msiexec(const std::string& action, const char* package,
                       std::vector<std::string> properties = {}) {
    const Path msiexec =
        Path(platform::get_env("SystemRoot").value).child("system32").child("msiexec.exe");
    make_folder(msiexec_output());
    std::vector<std::string> arguments{action, built_program(package).bytes(), "/qn"};
    arguments.insert(arguments.end(), properties.begin(), properties.end());
    return run_child(msiexec, arguments, {}, msiexec_output(), std::chrono::seconds(300));
  }

  /// The installed products of the package's family, as "version" each.
  static std::vector<std::string> installed_versions() {
    std::vector<std::string> versions;
    wchar_t product[39];
    for (DWORD index = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, index, product) == ERROR_SUCCESS;
         ++index) {
      wchar_t version[64];
      DWORD size = static_cast<DWORD>(std::size(version));
      if (MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &size) !=
          ERROR_SUCCESS) {
        size = 0;
      }
      versions.push_back(platform::win32::wide_to_utf8_lossy(std::wstring_view(version, size)));
    }
    return versions;
  }

  std::vector<std::string> log_messages() {
    return path_exists(file("service.log")) ? service_log_messages(read_bytes(file("service.log")))
                                            : std::vector<std::string>{};
  }

  std::size_t log_count(std::string_view prefix) {
    std::size_t count = 0;
    for (const std::string& message : log_messages()) count += message.starts_with(prefix);
    return count;
  }

  // Until service.log holds `count` lines starting with `prefix`.
  bool wait_for_log(std::string_view prefix, std::size_t count, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (log_count(prefix) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  bool decorated(const Path& folder) const { return path_exists(folder.child("desktop.ini")); }

  /// Installs the lower version silently with `properties` into a tree with one photo album,
  /// and waits for the service's first scan, which decorates the tree and the album.
  void install_and_scan(const std::vector<std::string>& properties) {
    make_folder(tree().child("album"));
    write_bytes(tree().child("album").child("photo.jpg"), "jpeg");
    const ChildOutcome outcome = msiexec("/i", TINDRAL_MSI, properties);
    ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
    EXPECT_EQ(*platform::real_service_control().state(SERVICE_NAME),
              platform::ServiceState::Running);
    ASSERT_TRUE(wait_for_log("Initial scan complete: 2 folders, 2 written, 0 removed", 1,
                             std::chrono::seconds(60)));
    EXPECT_TRUE(decorated(tree()));
    EXPECT_TRUE(decorated(tree().child("album")));
  }

  /// The start type, display name and description the service manager keeps.
  static std::string service_entry() {
    std::string text;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"TindralCache", SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                            static_cast<DWORD>(buffer.size()), &needed)) {
      const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
      text = "start " + std::to_string(config->dwStartType) + ", " +
             platform::win32::wide_to_utf8_lossy(config->lpDisplayName);
    }
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    if (auto described = service_setting(L"TindralCache", SERVICE_CONFIG_DESCRIPTION)) {
      text += ": " +
              platform::win32::wide_to_utf8_lossy(
                  reinterpret_cast<const SERVICE_DESCRIPTIONW*>(described->data())->lpDescription);
    }
    return text;
  }
};

TEST_F(MsiTest, InstallsWithSettingsUpgradesInPlaceRefusesADowngradeAndRemovesAllButSettings) {
  platform::ServiceControl& services = platform::real_service_control();
  const std::string lower = TINDRAL_MSI_VERSION;
  const std::string higher = TINDRAL_UPGRADE_MSI_VERSION;

  // A silent install of the lower version, with the roots and the interval as properties; the
  // % of a placeholder reaches config.txt as written.
  install_and_scan({"ROOTS=" + tree().bytes() + ";%USERPROFILE%\\NoSuchFolder", "INTERVAL=30"});
  EXPECT_EQ(read_bytes(file("config.txt")), tree().bytes() + "\n%USERPROFILE%\\NoSuchFolder\n");
  EXPECT_EQ(read_bytes(file("settings.txt")), "interval=30\n");
  for (const char* name : {"tindral.exe", "tindralctl.exe", "folder.ico"}) {
    EXPECT_TRUE(path_exists(program_folder().child(name))) << name;
  }
  EXPECT_TRUE(read_bytes(file("folder.ico")) == read_bytes(built_program(TINDRAL_DEFAULT_ICON)))
      << "the data folder's icon is not the default one";
  EXPECT_THAT(installed_versions(), ElementsAre(lower));
  // As tindralctl install registers it.
  EXPECT_EQ(service_entry(), "start 2, Tindral: " + std::string(kDescription));
  EXPECT_EQ(event_source(L"TindralCache"),
            (EventSource{widen(program_folder().child("tindral.exe").bytes()),
                         EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE}));

  // The installed tindralctl knows that the package installed the service, and its version.
  const Path installed_ctl = program_folder().child("tindralctl.exe");
  const ChildOutcome reinstall = run_child(installed_ctl, {"install"}, {}, tmp_.path());
  EXPECT_EQ(reinstall.exit_code, 1);
  EXPECT_EQ(reinstall.err,
            "Error: The service TindralCache is installed already\n\nCaused by:\n    The MSI "
            "package installed it: Apps and Features (or msiexec /x) removes it first\n");
  const ChildOutcome version = run_child(installed_ctl, {"version"}, {}, tmp_.path());
  EXPECT_EQ(version.exit_code, 0) << version.err;
  EXPECT_EQ(version.out, "tindralctl " + lower + "\nService TindralCache: " + lower + " (" +
                             program_folder().child("tindral.exe").display() + ")\n");

  // The administrator edits config.txt; then the higher version arrives with other properties.
  const std::string edited = tree().bytes() + "\r\n# the photos only\r\n";
  write_bytes(file("config.txt"), edited);
  ChildOutcome outcome = msiexec("/i", TINDRAL_UPGRADE_MSI, {"ROOTS=C:\\Elsewhere", "INTERVAL=5"});
  ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
  EXPECT_THAT(installed_versions(), ElementsAre(higher));
  EXPECT_EQ(*services.state(SERVICE_NAME), platform::ServiceState::Running);
  EXPECT_EQ(read_bytes(file("config.txt")), edited);
  EXPECT_EQ(read_bytes(file("settings.txt")), "interval=30\n");
  EXPECT_TRUE(path_exists(program_folder().child("tindral.exe")));
  EXPECT_TRUE(event_source(L"TindralCache").has_value());
  // Stopped with the old files and started with the new ones.
  EXPECT_TRUE(wait_for_log("Initial scan complete: 2 folders, ", 2, std::chrono::seconds(60)));
  EXPECT_TRUE(decorated(tree()));
  EXPECT_TRUE(decorated(tree().child("album")));

  // The lower version again: refused (exit code 1603, which Wine cuts to its low 8 bits), the
  // higher one stays and runs.
  outcome = msiexec("/i", TINDRAL_MSI);
  EXPECT_TRUE(outcome.exit_code == ERROR_INSTALL_FAILURE ||
              (running_under_wine() && outcome.exit_code == (ERROR_INSTALL_FAILURE & 0xFF)))
      << outcome.exit_code;
  EXPECT_THAT(installed_versions(), ElementsAre(higher));
  EXPECT_EQ(*services.state(SERVICE_NAME), platform::ServiceState::Running);

  // Removal: the service, the programs, the event source and every desktop.ini the service
  // wrote go; the configuration stays, and no flag is left to steer a later installation.
  const std::size_t cleanups = log_count(kCleanedUp);
  outcome = msiexec("/x", TINDRAL_UPGRADE_MSI);
  ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
  EXPECT_THAT(installed_versions(), IsEmpty());
  EXPECT_FALSE(*services.installed(SERVICE_NAME));
  EXPECT_FALSE(path_exists(program_folder().child("tindral.exe")));
  EXPECT_FALSE(path_exists(program_folder().child("tindralctl.exe")));
  EXPECT_EQ(event_source(L"TindralCache"), std::nullopt);
  EXPECT_FALSE(decorated(tree()));
  EXPECT_FALSE(decorated(tree().child("album")));
  EXPECT_EQ(log_count(kCleanedUp), cleanups + 1);
  EXPECT_EQ(read_bytes(file("config.txt")), edited);
  EXPECT_EQ(read_bytes(file("settings.txt")), "interval=30\n");
  EXPECT_FALSE(path_exists(file("paused.flag")));
}

// The older product's removal inside an upgrade, run as Windows' RemoveExistingProducts runs it
// (with UPGRADINGPRODUCTCODE): no cleanup, and the icons, an administrator's pause and the event
// source stay for the newer service.
TEST_F(MsiTest, TheRemovalInsideAnUpgradeLeavesIconsFlagsAndEventSource) {
  install_and_scan({"ROOTS=" + tree().bytes()});
  write_bytes(file("paused.flag"), "");
  const ChildOutcome outcome =
      msiexec("/x", TINDRAL_MSI, {"UPGRADINGPRODUCTCODE={0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"});
  ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
  EXPECT_FALSE(*platform::real_service_control().installed(SERVICE_NAME));
  EXPECT_THAT(log_messages(), Not(Contains(StartsWith("Cleanup"))));
  EXPECT_TRUE(decorated(tree()));
  EXPECT_TRUE(decorated(tree().child("album")));
  EXPECT_TRUE(path_exists(file("paused.flag")));
  EXPECT_TRUE(event_source(L"TindralCache").has_value());
  EXPECT_TRUE(platform::unregister_event_source(SERVICE_NAME));
}

// The same through a real upgrade.
TEST_F(MsiTest, AnUpgradeKeepsTheIconsWithoutACleanup) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine 8.0's RemoveExistingProducts removes the older product with a plain "
                    "msiexec /i {product} REMOVE=ALL, without the UPGRADINGPRODUCTCODE that "
                    "Windows sets, so the older package cleans up as on a real uninstall; "
                    "TheRemovalInsideAnUpgradeLeavesIconsFlagsAndEventSource sets it by hand";
  }
  install_and_scan({"ROOTS=" + tree().bytes()});
  ChildOutcome outcome = msiexec("/i", TINDRAL_UPGRADE_MSI);
  ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
  EXPECT_TRUE(wait_for_log("Initial scan complete: 2 folders, 0 written, 0 removed", 1,
                           std::chrono::seconds(60)));
  EXPECT_THAT(log_messages(), Not(Contains(StartsWith("Cleanup"))));
  EXPECT_TRUE(decorated(tree()));
  EXPECT_TRUE(decorated(tree().child("album")));
  outcome = msiexec("/x", TINDRAL_UPGRADE_MSI);
  EXPECT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
}

TEST_F(MsiTest, TheServiceKeepsOnlyThePrivilegesItUses) {
  if (!service_manager_keeps_privileges()) GTEST_SKIP() << kServiceManagerGap;
  ChildOutcome outcome = msiexec("/i", TINDRAL_MSI);
  ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
  EXPECT_EQ(privileges_and_failure_actions(L"TindralCache"), kExpectedPrivilegesAndFailureActions);
  outcome = msiexec("/x", TINDRAL_MSI);
  EXPECT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
}

}  // namespace
}  // namespace tindral::test_support
