#include "platform/stop_signal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tindral {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(StopSignalTest, RequestIsSeenAndMayBeRepeated) {
  platform::StopSignal stop;
  EXPECT_FALSE(stop.requested());
  stop.request();
  stop.request();
  EXPECT_TRUE(stop.requested());
}

// If the sleep ignored the request, this test would hang for a minute and then fail, never pass.
TEST(StopSignalTest, RequestFromAnotherThreadEndsTheSleepEarly) {
  platform::StopSignal stop;
  std::thread requester([&stop] {
    std::this_thread::sleep_for(50ms);
    stop.request();
  });
  const auto start = Clock::now();
  stop.sleep_for(60s);
  const auto slept = Clock::now() - start;
  requester.join();
  EXPECT_TRUE(stop.requested());
  EXPECT_LT(slept, 30s);
}

TEST(StopSignalTest, SleepAfterARequestReturnsAtOnce) {
  platform::StopSignal stop;
  stop.request();
  const auto start = Clock::now();
  stop.sleep_for(60s);
  EXPECT_LT(Clock::now() - start, 30s);
}

TEST(StopSignalTest, SleepWithoutARequestLastsItsDuration) {
  platform::StopSignal stop;
  const auto start = Clock::now();
  stop.sleep_for(40ms);
  // A little slack below the duration for timers that round to the clock's tick.
  EXPECT_GE(Clock::now() - start, 30ms);
  EXPECT_FALSE(stop.requested());
}

}  // namespace
}  // namespace tindral
