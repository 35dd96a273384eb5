#include "app/timed_waits.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The writer's wait for the wire: a condition variable's wait_until a few
// milliseconds ahead. On Windows without finer ticks it ends on the next
// tick of 15.6 ms, and the wire stands idle meanwhile. Waits end on the
// system clock's ticks ("Sleep function (synchapi.h)", Remarks,
// https://learn.microsoft.com/windows/win32/api/synchapi/nf-synchapi-sleep):
// one after the other, each begun just after the tick that ended the last,
// they are some 13 ms late every time. A busy machine makes waits late too
// (under Wine, whose waits go through its server, the median reached 5.5 ms
// beside a CPU hog), hence a median bound between the two.
TEST(TimedWaits, EndWithinAFewMillisecondsOfTheirTime) {
  KeepTimedWaitsPrecise();
  std::mutex mutex;
  std::condition_variable never;
  std::vector<double> late_ms;
  std::unique_lock<std::mutex> lock(mutex);
  for (int i = 0; i < 40; ++i) {
    const auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(2500);
    never.wait_until(lock, due, [] { return false; });
    late_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - due).count());
  }
  std::sort(late_ms.begin(), late_ms.end());
  EXPECT_LT(late_ms[late_ms.size() / 2], 10.0) << "median lateness in ms";
}

}  // namespace
