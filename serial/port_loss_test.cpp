#include "serial/port_loss.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// One call on a Windows port as a log would show it: when it ended, its
// system error code (0: it worked) and whether the bridge had cancelled it.
struct Call {
  std::int64_t ms;
  std::uint32_t error;
  bool cancelled = false;
};

// The index of the call after which the port counts as lost, or -1.
int LostAt(const std::vector<Call>& calls) {
  FailureRun run;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (run.Record(OutcomeOfWindowsError(calls[i].error, calls[i].cancelled), calls[i].ms)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The reader looks at a failing port every 250 ms; the writer tries each
// packet as it comes.
TEST(PortLoss, RecordedWindowsSequences) {
  const struct {
    const char* what;
    std::vector<Call> calls;
    int lost_at;
  } cases[] = {
      {"ERROR_SEM_TIMEOUT on every write, as usbser.sys gives until replugged: lost once past a second",
       {{0, 0}, {100, 121}, {350, 121}, {600, 121}, {850, 121}, {1100, 121}, {1101, 121}, {1350, 121}},
       6},
      {"exactly a second of failures is not yet more than a second",
       {{0, 6}, {500, 6}, {1000, 6}},
       -1},
      {"ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND and ERROR_INVALID_HANDLE mixed: any error counts",
       {{0, 1}, {300, 2}, {600, 6}, {900, 1}, {1200, 2}},
       4},
      {"a call that worked ends the run; the next starts afresh",
       {{0, 121}, {400, 121}, {900, 121}, {950, 0}, {1000, 121}, {1900, 121}, {2000, 121}, {2001, 121}},
       7},
      {"the bridge's own cancellations neither end a run nor count as failures",
       {{0, 121}, {300, 995, true}, {700, 995, true}, {1001, 121}},
       3},
      {"cancellations alone never lose a port",
       {{0, 995, true}, {2000, 995, true}, {4000, 995, true}, {6000, 995, true}},
       -1},
      {"ERROR_OPERATION_ABORTED the bridge did not ask for: usbser.sys's device is gone",
       {{0, 0}, {10, 995}},
       1},
      {"a port whose device has gone says so at once",
       {{0, 0}, {5, 1167}},
       1},
      {"ERROR_NOT_READY, as Wine gives for a hung-up pty",
       {{0, 21}},
       0},
      {"ERROR_DEVICE_REMOVED",
       {{0, 1617}},
       0},
      {"ERROR_GEN_FAILURE, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED",
       {{0, 31}},
       0},
      {"a port that works is never lost",
       {{0, 0}, {250, 0}, {500, 0}, {100000, 0}},
       -1},
      {"a failure now and then, with calls that work between",
       {{0, 87}, {250, 0}, {1500, 87}, {1750, 0}, {3000, 87}},
       -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LostAt(c.calls), c.lost_at) << c.what;
  }
  EXPECT_EQ(OutcomeOfWindowsError(22, false), PortOutcome::kGone);
  EXPECT_EQ(OutcomeOfWindowsError(5, false), PortOutcome::kGone);
  EXPECT_EQ(OutcomeOfWindowsError(0, false), PortOutcome::kWorked);
  EXPECT_EQ(OutcomeOfWindowsError(4294967295u, false), PortOutcome::kFailed);
}

// The run belongs to one port: a new one starts without the old one's
// failures, and a run counts from its first failure, not from the last call
// that worked.
TEST(PortLoss, ResetForANewPortAndTimedFromTheFirstFailure) {
  FailureRun run;
  EXPECT_FALSE(run.Record(PortOutcome::kWorked, 0));
  EXPECT_FALSE(run.Record(PortOutcome::kFailed, 5000));
  EXPECT_FALSE(run.Record(PortOutcome::kFailed, 5900));
  run.Reset();
  EXPECT_FALSE(run.Record(PortOutcome::kFailed, 6500));
  EXPECT_FALSE(run.Record(PortOutcome::kFailed, 7400));
  EXPECT_TRUE(run.Record(PortOutcome::kFailed, 7501));
  // Still lost while the failures go on, until a call works.
  EXPECT_TRUE(run.Record(PortOutcome::kFailed, 7600));
  EXPECT_FALSE(run.Record(PortOutcome::kWorked, 7700));
  EXPECT_TRUE(run.Record(PortOutcome::kGone, 7701));
}

}  // namespace
