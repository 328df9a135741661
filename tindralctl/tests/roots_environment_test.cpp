// tindralctl judges a root as the service will: %NAME% from the environment the service gets
// (on Windows LocalSystem's, not the administrator's), and within a time limit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "time_limit.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::HasSubstr;

class RootsEnvironmentTest : public TindralctlTest {};

// The administrator's own variable reaches tindralctl but, on Windows, not the service; natively
// without systemd the service starts with its starter's environment, which here is the test's.
TEST_F(RootsEnvironmentTest, ARootThatNeedsAVariableTheServiceLacksIsNamedAsSuch) {
  make_folder(data_folder_);
  make_folder(tmp_ / "photos");
  const ScopedEnv admin_only("TINDRAL_ADMIN_ONLY", tmp_.path().bytes());
  const bool service_has_it = platform::kSeparator == '/';
  const std::string sep(1, platform::kSeparator);
  const std::string unset = "%TINDRAL_NOT_SET%" + sep + "photos";
  const std::string admins = "%TINDRAL_ADMIN_ONLY%" + sep + "photos";
  write_bytes(file("config.txt"), unset + "\n" + admins + "\n");

  const ChildOutcome list = tindralctl({"roots", "list"});
  const ChildOutcome add = tindralctl({"roots", "add", unset});

  EXPECT_EQ(list.exit_code, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("  " + unset + "  (Root path is not absolute, skipping: " +
                                  unset + "; %TINDRAL_NOT_SET% is not set for the service)\n"));
  if (service_has_it) {
    EXPECT_THAT(list.out,
                HasSubstr("  " + admins + " = " + (tmp_ / "photos").bytes() + "  (scanned)\n"));
  } else {
    EXPECT_THAT(list.out,
                HasSubstr("  " + admins + "  (Root path is not absolute, skipping: " + admins +
                          "; %TINDRAL_ADMIN_ONLY% is not set for the service)\n"));
  }
  EXPECT_EQ(add.exit_code, 6);
  EXPECT_EQ(add.err,
            "Error: Refused " + unset +
                "\n\nCaused by:\n    It depends on %TINDRAL_NOT_SET%, which is not set for "
                "the service (its environment is not yours), so the service would read "
                "it as written\n");
}

TEST(TimeLimitTest, AnAnswerInTimeIsReturnedAndALateOneGivenUpOn) {
  // Many in a row, as tindralctl judges one root after another: every quick answer comes back,
  // none is lost with its thread.
  int answered = 0;
  for (int i = 0; i < 1000; ++i) {
    answered += ctl::within<int>(std::chrono::seconds(10), [i] { return i; }) == i;
  }
  EXPECT_EQ(answered, 1000);
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  EXPECT_EQ(ctl::within<int>(std::chrono::milliseconds(200),
                             [released] {
                               released.wait();
                               return 1;
                             }),
            std::nullopt);
  release->set_value();
}

// A walk that goes on longer than the limit is waited for while it reports progress; one that
// stops reporting is given up on.
TEST(TimeLimitTest, WorkThatKeepsSteppingIsWaitedForAndWorkThatStallsIsGivenUpOn) {
  const std::chrono::milliseconds limit(1000);
  EXPECT_EQ(ctl::while_progressing<int>(limit,
                                        [limit](const std::function<void()>& step) {
                                          for (int i = 0; i < 20; ++i) {
                                            std::this_thread::sleep_for(limit / 10);
                                            step();
                                          }
                                          return 7;
                                        }),
            7);
  auto release = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  EXPECT_EQ(ctl::while_progressing<int>(limit,
                                        [released](const std::function<void()>& step) {
                                          step();
                                          released.wait();
                                          return 1;
                                        }),
            std::nullopt);
  release->set_value();
}

}  // namespace
}  // namespace tindral::test_support
