#include "serial/line_pacer.h"

#include <algorithm>

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

// Under continuous load the wire is let run dry once a period, for the drain
// time by the estimate; a wire that idles on its own is never held.
TEST(LinePacer, DrainsWhatTheDriverHoldsUnseenOnceAPeriod) {
  LinePacer pacer(1200000, 2 * kMs, 250 * kMs, 4 * kMs);
  const Nanoseconds t0 = 1000 * kMs;
  const Nanoseconds packet = pacer.WireTime(530);
  // Keep the wire busy: each write at the lead, as the writer does.
  Nanoseconds now = t0;
  int held = 0;
  Nanoseconds held_at = 0;
  Nanoseconds busy_until = 0;
  for (int i = 0; i < 200; ++i) {
    const Nanoseconds at = pacer.NextWriteAt(now, 0);
    if (at > std::max(now, busy_until - 2 * kMs)) {
      // Held beyond the lead: until the wire has been idle for the drain.
      EXPECT_EQ(at, busy_until + 4 * kMs);
      ++held;
      if (held == 1) held_at = at;
    }
    pacer.Wrote(530, at);
    busy_until = std::max(busy_until, at) + packet;
    now = at;
  }
  // 200 packets of 4.4 ms over about 0.9 s: held three times, the first a
  // period after the first write.
  EXPECT_EQ(held, 3);
  EXPECT_GE(held_at, t0 + 250 * kMs);
  EXPECT_LT(held_at, t0 + 270 * kMs);

  // A wire that stands idle for the drain by itself, at once or a little at
  // a time, is never held.
  for (const Nanoseconds gap : {5 * kMs, 1 * kMs}) {
    LinePacer light(1200000, 2 * kMs, 250 * kMs, 4 * kMs);
    now = t0;
    for (int i = 0; i < 200; ++i) {
      EXPECT_EQ(light.NextWriteAt(now, 0), now) << "gap " << gap << ", packet " << i;
      light.Wrote(530, now);
      now += packet + gap;
    }
  }
  // One that stood idle for less in the period is held only for the rest.
  LinePacer part(1200000, 2 * kMs, 250 * kMs, 4 * kMs);
  part.Wrote(530, t0);
  part.Wrote(530, t0 + packet + 3 * kMs);  // 3 ms idle.
  const Nanoseconds end = t0 + 2 * packet + 3 * kMs;
  EXPECT_EQ(part.NextWriteAt(t0 + 300 * kMs, 0), t0 + 300 * kMs);  // Idle since long.
  for (now = end; now < t0 + 300 * kMs; now += packet) part.Wrote(530, now);
  EXPECT_EQ(part.NextWriteAt(now - 1 * kMs, 0), now + 1 * kMs);
  // A new port starts idle, without a wait.
  pacer.Reset();
  EXPECT_EQ(pacer.NextWriteAt(now, 0), now);
}

// What can wait (a repeat) waits for an idle wire, not for the lead, and
// takes the drain in the period's second half already; news keeps the lead
// and meets the drain only at the period's end.
TEST(LinePacer, WhatCanWaitGoesOnAnIdleWireAndTakesTheDrainEarly) {
  LinePacer pacer(1200000, 2 * kMs, 250 * kMs, 4 * kMs);
  const Nanoseconds t0 = 1000 * kMs;
  const Nanoseconds packet = pacer.WireTime(530);
  pacer.Wrote(530, t0);
  EXPECT_EQ(pacer.NextWriteAt(t0, 0, false), t0 + packet - 2 * kMs);
  EXPECT_EQ(pacer.NextWriteAt(t0, 0, true), t0 + packet);
  EXPECT_EQ(pacer.NextWriteAt(t0 + 10 * kMs, 0, true), t0 + 10 * kMs) << "an idle wire takes it at once";
  // Back to back, never idle, for 150 ms: in the period's second half.
  Nanoseconds now = t0 + packet;
  for (; now < t0 + 150 * kMs; now += packet) pacer.Wrote(530, now);
  EXPECT_EQ(pacer.NextWriteAt(now - 1 * kMs, 0, false), now - 1 * kMs) << "news: no drain before the period's end";
  EXPECT_EQ(pacer.NextWriteAt(now - 1 * kMs, 0, true), now + 4 * kMs) << "a repeat: the drain first";
}

}  // namespace
