// What tindralctl install gives the service on Windows beyond its entry: the event source that
// lets Event Viewer show its warnings and errors, and only the privileges it uses.

#include <gtest/gtest.h>

#include "tindralctl_fixture.h"
#include "windows/service_settings.h"

namespace tindral::test_support {
namespace {

class WindowsInstallTest : public TindralctlTest {
 protected:
  void install() {
    const ChildOutcome installed = tindralctl({"install", "--no-start"});
    ASSERT_EQ(installed.exit_code, 0) << installed.out << installed.err;
  }

  void uninstall() {
    const ChildOutcome removed = tindralctl({"uninstall", "--keep-icons"});
    EXPECT_EQ(removed.exit_code, 0) << removed.out << removed.err;
  }
};

TEST_F(WindowsInstallTest, TheEventSourceComesAndGoesWithTheService) {
  install();
  EXPECT_EQ(event_source(L"TindralCache"),
            (EventSource{widen(built_program(TINDRAL_EXE).bytes()),
                         EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE}));
  uninstall();
  EXPECT_EQ(event_source(L"TindralCache"), std::nullopt);
}

TEST_F(WindowsInstallTest, TheServiceKeepsOnlyThePrivilegesItUses) {
  if (!service_manager_keeps_privileges()) GTEST_SKIP() << kServiceManagerGap;
  install();
  EXPECT_EQ(privileges_and_failure_actions(L"TindralCache"), kExpectedPrivilegesAndFailureActions);
  uninstall();
}

}  // namespace
}  // namespace tindral::test_support
