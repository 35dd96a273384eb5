#include "tools/sim_wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

constexpr std::uint32_t kBaud = 1200000;
constexpr Nanoseconds kMs = 1000000;

std::vector<std::uint8_t> Counting(std::size_t size, std::uint8_t from = 0) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), from);
  return bytes;
}

std::vector<std::uint8_t> Joined(const std::vector<WirePiece>& pieces) {
  std::vector<std::uint8_t> bytes;
  for (const WirePiece& piece : pieces) bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
  return bytes;
}

TEST(SimWire, WireTimeIsTenBitsAByteWithoutOverflow) {
  EXPECT_EQ(WireTime(120000, kBaud), 1000000000);
  EXPECT_EQ(WireTime(1, kBaud), 8333);         // Rounded down...
  EXPECT_EQ(WireTime(3, kBaud), 25000);        // ...never accumulated.
  EXPECT_EQ(WireTime(530, kBaud), 4416666);    // An ArtDmx of 512 channels.
  EXPECT_EQ(WireTime(1, 9600), 1041666);
  // A week of traffic: the product would overflow 64 bits.
  EXPECT_EQ(WireTime(120000ull * 604800, kBaud), 604800ll * 1000000000);
}

TEST(SimWire, ReceivedBytesLeaveAtTheLineRate) {
  ReceiveWire wire(kBaud, 4096);
  const std::vector<std::uint8_t> data = Counting(600);
  std::vector<WirePiece> pieces;
  wire.Advance(1000, &pieces);
  wire.Take(data.data(), data.size(), 1000);
  EXPECT_TRUE(wire.Busy());
  EXPECT_EQ(wire.NextChange(), 1000 + WireTime(600, kBaud));

  wire.Advance(1000 + WireTime(100, kBaud) - 1, &pieces);  // The 100th stop bit not yet over.
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].bytes.size(), 99u);
  wire.Advance(1000 + WireTime(100, kBaud), &pieces);
  wire.Advance(1000 + WireTime(100, kBaud), &pieces);     // Nothing new: no empty piece.
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1].bytes.size(), 1u);
  EXPECT_EQ(pieces[1].End(0), 1000 + WireTime(100, kBaud));
  EXPECT_EQ(pieces[1].run, pieces[0].run);
  EXPECT_FALSE(pieces[1].ends_run);

  wire.Advance(1 * kMs * 1000, &pieces);  // Long after: all of it, and no more.
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_TRUE(pieces[2].ends_run);
  EXPECT_EQ(pieces[2].End(pieces[2].bytes.size() - 1), 1000 + WireTime(600, kBaud));
  EXPECT_EQ(Joined(pieces), data);
  EXPECT_FALSE(wire.Busy());
  EXPECT_EQ(wire.NextChange(), kNever);
  EXPECT_EQ(wire.received(), 600u);
  EXPECT_EQ(wire.busy_time(), WireTime(600, kBaud));

  // After a gap, a new run that starts when its bytes come.
  wire.Take(data.data(), 1, 2 * kMs * 1000);
  wire.Advance(3 * kMs * 1000, &pieces);
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_NE(pieces[3].run, pieces[2].run);
  EXPECT_EQ(pieces[3].End(0), 2 * kMs * 1000 + WireTime(1, kBaud));
}

TEST(SimWire, AStreamKeepsItsPaceForAsLongAsItRuns) {
  // 25 seconds without a gap, in steps that do not divide the byte time:
  // byte k must end exactly WireTime(k + 1) after the first began.
  ReceiveWire wire(kBaud, 4096);
  std::vector<WirePiece> pieces;
  std::uint64_t index = 0;
  const std::uint8_t byte = 0x55;
  for (Nanoseconds now = 0; now < 25000 * kMs; now += 777777) {
    wire.Advance(now, &pieces);
    for (const WirePiece& piece : pieces) {
      for (std::size_t i = 0; i < piece.bytes.size(); ++i, ++index) {
        ASSERT_EQ(piece.End(i), WireTime(index + 1, kBaud)) << "byte " << index;
      }
    }
    pieces.clear();
    while (wire.Room() > 0) wire.Take(&byte, 1, now);
  }
  EXPECT_GT(index, 25u * 120000 - 4096 - 100);
}

TEST(SimWire, AFullBufferHoldsTheHostUntilItHasDrained) {
  ReceiveWire wire(kBaud, 4096);
  const std::vector<std::uint8_t> data = Counting(5000);
  std::vector<WirePiece> pieces;
  wire.Take(data.data(), data.size(), 0);  // Takes only what fits.
  EXPECT_EQ(wire.Room(), 0u);
  EXPECT_TRUE(wire.HoldHost());
  // Free again once fewer than 256 bytes wait: after 4096 - 255 bytes.
  const Nanoseconds release = WireTime(4096 - 255, kBaud);
  EXPECT_EQ(wire.NextChange(), release);
  wire.Advance(release - 1, &pieces);
  EXPECT_TRUE(wire.HoldHost());
  EXPECT_GT(wire.Room(), 0u);  // Room, but not yet enough for the host.
  wire.Advance(release, &pieces);
  EXPECT_FALSE(wire.HoldHost());
  EXPECT_EQ(wire.Room(), 4096u - 255);
  EXPECT_EQ(wire.NextChange(), WireTime(4096, kBaud));
  wire.Advance(WireTime(4096, kBaud), &pieces);
  EXPECT_EQ(Joined(pieces), std::vector<std::uint8_t>(data.begin(), data.begin() + 4096));

  // A buffer smaller than the tty layer's mark lets the host go at half.
  ReceiveWire small(kBaud, 100);
  small.Take(data.data(), 100, 0);
  EXPECT_EQ(small.NextChange(), WireTime(51, kBaud));
}

TEST(SimWire, AStallStopsTheWireAndTheRunGoesOnAfterIt) {
  ReceiveWire wire(kBaud, 4096);
  const std::vector<std::uint8_t> data = Counting(300);
  std::vector<WirePiece> pieces;
  wire.Take(data.data(), 100, 0);
  const Nanoseconds at = WireTime(40, kBaud) + 5;  // 41st byte half sent.
  wire.Advance(at, &pieces);
  wire.Stall(at, 1200 * kMs);
  wire.Stall(at + kMs, 10 * kMs);  // A shorter one does not cut it short.
  EXPECT_FALSE(wire.Busy());
  EXPECT_EQ(wire.NextChange(), at + 1200 * kMs);
  wire.Take(data.data() + 100, 200, at + 2 * kMs);  // Waits, does not start a run.
  wire.Advance(at + 1200 * kMs - 1, &pieces);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].bytes.size(), 40u);

  wire.Advance(at + 1200 * kMs + WireTime(260, kBaud), &pieces);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_NE(pieces[1].run, pieces[0].run);
  EXPECT_EQ(pieces[1].End(0), at + 1200 * kMs + WireTime(1, kBaud));  // The 41st, whole.
  EXPECT_TRUE(pieces[1].ends_run);
  EXPECT_EQ(Joined(pieces), data);

  // A stall fills the buffer and holds the host for all of it.
  ReceiveWire held(kBaud, 4096);
  held.Stall(0, 1200 * kMs);
  held.Take(data.data(), 1, 0);
  EXPECT_FALSE(held.Busy());
  std::vector<std::uint8_t> block(4095, 7);
  held.Take(block.data(), block.size(), kMs);
  EXPECT_TRUE(held.HoldHost());
  EXPECT_EQ(held.NextChange(), 1200 * kMs);
  held.Advance(1200 * kMs, &pieces);
  EXPECT_TRUE(held.HoldHost());
  EXPECT_EQ(held.NextChange(), 1200 * kMs + WireTime(4096 - 255, kBaud));
}

TEST(SimWire, SentFramesReachTheHostInAdapterChunks) {
  SendWire wire(kBaud, 62, kMs);
  EXPECT_EQ(wire.NextChange(), kNever);
  const Nanoseconds start = 5 * kMs;
  for (int i = 0; i < 4; ++i) wire.Queue(Counting(241, static_cast<std::uint8_t>(i)), start);
  std::vector<SendWire::Chunk> chunks;
  wire.Advance(start + WireTime(62, kBaud) - 1, &chunks);
  EXPECT_TRUE(chunks.empty());
  EXPECT_EQ(wire.NextChange(), start + WireTime(62, kBaud));
  wire.Advance(start + WireTime(964, kBaud), &chunks);
  // Back to back, the frames fill chunks across their boundaries: 15 full
  // chunks, and the last 34 bytes wait for the latency timer.
  ASSERT_EQ(chunks.size(), 15u);
  std::vector<std::size_t> finished_in;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(chunks[i].bytes.size(), 62u);
    EXPECT_EQ(chunks[i].due, start + WireTime(62 * (i + 1), kBaud));
    for (std::size_t f = 0; f < chunks[i].finished.size(); ++f) finished_in.push_back(i);
  }
  EXPECT_EQ(finished_in, (std::vector<std::size_t>{3, 7, 11}));  // Bytes 241, 482 and 723.
  EXPECT_EQ(chunks[3].finished[0], Counting(241, 0));
  EXPECT_EQ(wire.NextChange(), start + WireTime(964, kBaud) + kMs);
  wire.Advance(start + WireTime(964, kBaud) + kMs, &chunks);
  ASSERT_EQ(chunks.size(), 16u);
  EXPECT_EQ(chunks[15].bytes.size(), 34u);
  ASSERT_EQ(chunks[15].finished.size(), 1u);
  EXPECT_EQ(chunks[15].finished[0], Counting(241, 3));
  EXPECT_EQ(wire.sent(), 964u);
  EXPECT_EQ(wire.NextChange(), kNever);
}

TEST(SimWire, TheLatencyTimerCutsChunksAtQuietGapsOnly) {
  SendWire wire(kBaud, 62, kMs);
  std::vector<SendWire::Chunk> chunks;
  wire.Queue(Counting(4), 0);
  // Ready before the first's latency runs out: the chunk waits for it.
  wire.Queue(Counting(4, 4), WireTime(4, kBaud) + kMs / 2);
  // Ready after a quiet millisecond: a chunk of its own.
  const Nanoseconds later = WireTime(4, kBaud) + kMs / 2 + WireTime(4, kBaud) + kMs + 1;
  wire.Queue(Counting(2, 8), later);
  wire.Advance(later + kMs, &chunks);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].bytes, Counting(8));
  EXPECT_EQ(chunks[0].due, WireTime(4, kBaud) + kMs / 2 + WireTime(4, kBaud) + kMs);
  EXPECT_EQ(chunks[0].finished.size(), 2u);
  wire.Advance(later + WireTime(2, kBaud) + kMs, &chunks);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].bytes, Counting(2, 8));

  // A frame queued late never lands before what was handed over.
  wire.Queue(Counting(1), 0);
  wire.Advance(kNever - 1, &chunks);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[2].due, chunks[1].due + WireTime(1, kBaud) + kMs);
}

}  // namespace
