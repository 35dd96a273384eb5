#include "serial/line_pacer.h"

#include <gtest/gtest.h>

namespace {

constexpr Nanoseconds kMs = 1000000;

TEST(LinePacer, WireTimeAt1200000Baud) {
  const LinePacer pacer(1200000, 2 * kMs);
  // 10 bits a byte: 120,000 bytes a second.
  EXPECT_EQ(pacer.WireTime(120000), 1000 * kMs);
  EXPECT_EQ(pacer.WireTime(530), 4416666);  // A full ArtDmx: 4.4 ms.
  EXPECT_EQ(pacer.WireTime(0), 0);
}

// An idle wire takes a packet at once; a busy one only once it has no more
// than the lead left; time the wire stood idle is not credited.
TEST(LinePacer, WritesWhenTheWireHasAtMostTheLeadLeft) {
  LinePacer pacer(1200000, 2 * kMs);
  const Nanoseconds t0 = 1000 * kMs;
  EXPECT_EQ(pacer.NextWriteAt(t0, 0), t0);
  pacer.Wrote(530, t0);
  EXPECT_EQ(pacer.NextWriteAt(t0, 0), t0 + 4416666 - 2 * kMs);
  const Nanoseconds later = t0 + 3 * kMs;
  EXPECT_EQ(pacer.NextWriteAt(later, 0), later);
  pacer.Wrote(530, later);  // Queued behind the first.
  EXPECT_EQ(pacer.NextWriteAt(later, 0), t0 + 2 * 4416666 - 2 * kMs);
  // Long after, idle: the next write goes at once and alone.
  const Nanoseconds idle = t0 + 100 * kMs;
  EXPECT_EQ(pacer.NextWriteAt(idle, 0), idle);
  pacer.Wrote(14, idle);
  EXPECT_EQ(pacer.NextWriteAt(idle + 1 * kMs, 0), idle + 1 * kMs);
}

// The driver's own count wins when it shows more than the estimate (a wire
// slower than its rate, bytes held in the adapter), never when it shows less.
TEST(LinePacer, TheDriversQueueCountConfirms) {
  LinePacer pacer(1200000, 2 * kMs);
  const Nanoseconds t0 = 1000 * kMs;
  EXPECT_EQ(pacer.NextWriteAt(t0, 1200), t0 + 10 * kMs - 2 * kMs);
  EXPECT_EQ(pacer.NextWriteAt(t0, 120), t0);  // 1 ms: within the lead.
  pacer.Wrote(1200, t0);
  EXPECT_EQ(pacer.NextWriteAt(t0, 0), t0 + 8 * kMs);
  pacer.Reset();
  EXPECT_EQ(pacer.NextWriteAt(t0, 0), t0);
}

}  // namespace
