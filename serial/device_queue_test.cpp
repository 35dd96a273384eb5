#include "serial/device_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSourceA = 0x0100000A;  // 10.0.0.1
constexpr std::uint32_t kSourceB = 0x0200000A;  // 10.0.0.2

Bytes ArtNet(std::uint16_t opcode, std::size_t size) {
  Bytes packet(size, 0);
  std::memcpy(packet.data(), "Art-Net", 8);
  packet[8] = static_cast<std::uint8_t>(opcode);
  packet[9] = static_cast<std::uint8_t>(opcode >> 8);
  return packet;
}

// An ArtDmx for `universe` (SubUni, Net) whose first channel is `level`.
Bytes Dmx(std::uint16_t universe, std::uint8_t level, std::size_t size = 530) {
  Bytes packet = ArtNet(0x5000, size);
  if (size > 15) {
    packet[14] = static_cast<std::uint8_t>(universe);
    packet[15] = static_cast<std::uint8_t>(universe >> 8);
  }
  if (size > 18) packet[18] = level;
  return packet;
}

Bytes Nzs(std::uint16_t universe, std::uint8_t start_code, std::uint8_t level) {
  Bytes packet = ArtNet(0x5100, 100);
  packet[13] = start_code;
  packet[14] = static_cast<std::uint8_t>(universe);
  packet[15] = static_cast<std::uint8_t>(universe >> 8);
  packet[18] = level;
  return packet;
}

DeviceQueue::Offered Offer(DeviceQueue& queue, std::uint32_t source, const Bytes& packet) {
  return queue.Offer(source, packet.data(), packet.size());
}

// Everything waiting, in order, as (source, bytes).
std::vector<std::pair<std::uint32_t, Bytes>> TakeAll(DeviceQueue& queue) {
  std::vector<std::pair<std::uint32_t, Bytes>> taken;
  QueuedPacket packet;
  while (queue.Take(&packet)) {
    taken.emplace_back(packet.source, Bytes(packet.bytes.begin(), packet.bytes.begin() + packet.size));
  }
  return taken;
}

using Line = std::vector<std::pair<std::uint32_t, Bytes>>;

TEST(DeviceQueue, APacketTakenAtOnceIsTheOneOffered) {
  DeviceQueue queue;
  EXPECT_TRUE(queue.empty());
  const Bytes poll = ArtNet(0x2000, 14);
  EXPECT_EQ(Offer(queue, kSourceA, poll), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(TakeAll(queue), (Line{{kSourceA, poll}}));
  QueuedPacket packet;
  EXPECT_FALSE(queue.Take(&packet));
  // Larger than anything the capture side forwards.
  EXPECT_EQ(Offer(queue, kSourceA, ArtNet(0x5000, 531)), DeviceQueue::Offered::kDropped);
}

// A newer ArtDmx for a waiting universe from the same source takes the
// waiting one's place; other universes, other sources and other packets keep
// theirs.
TEST(DeviceQueue, CoalescesPerSourceAndUniverseInPlace) {
  DeviceQueue queue;
  const Bytes poll = ArtNet(0x2000, 14);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 10)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, poll), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(2, 20)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceB, Dmx(1, 30)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 11)), DeviceQueue::Offered::kReplaced);
  EXPECT_EQ(Offer(queue, kSourceB, Dmx(1, 31)), DeviceQueue::Offered::kReplaced);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 12, 120)), DeviceQueue::Offered::kReplaced);  // Any length.
  // Universe 0x0101 differs from universe 1 in its Net byte only.
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(0x0101, 40)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(TakeAll(queue), (Line{{kSourceA, Dmx(1, 12, 120)},
                                  {kSourceA, poll},
                                  {kSourceA, Dmx(2, 20)},
                                  {kSourceB, Dmx(1, 31)},
                                  {kSourceA, Dmx(0x0101, 40)}}));
  // Once taken, the next one for the universe waits at the end again.
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(2, 21)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 13)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(TakeAll(queue), (Line{{kSourceA, Dmx(2, 21)}, {kSourceA, Dmx(1, 13)}}));
}

TEST(DeviceQueue, NzsCoalescesPerStartCodeAndOnlyDmxAndNzsCoalesce) {
  DeviceQueue queue;
  EXPECT_EQ(Offer(queue, kSourceA, Nzs(1, 0xCC, 1)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, Nzs(1, 0xDD, 2)), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, Nzs(1, 0xCC, 3)), DeviceQueue::Offered::kReplaced);
  // An ArtNzs never stands for an ArtDmx of the same universe.
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 4)), DeviceQueue::Offered::kQueued);
  // ArtDmx's byte 13 is its physical port, not part of its stream.
  Bytes other_port = Dmx(1, 5);
  other_port[13] = 3;
  EXPECT_EQ(Offer(queue, kSourceA, other_port), DeviceQueue::Offered::kReplaced);
  // Packets of any other kind, even alike, each keep their place.
  const Bytes address = ArtNet(0x6000, 107);
  EXPECT_EQ(Offer(queue, kSourceA, address), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, address), DeviceQueue::Offered::kQueued);
  // An ArtDmx too short to name its universe is kept like them.
  const Bytes stub = Dmx(1, 0, 12);
  EXPECT_EQ(Offer(queue, kSourceA, stub), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(Offer(queue, kSourceA, stub), DeviceQueue::Offered::kQueued);
  EXPECT_EQ(TakeAll(queue), (Line{{kSourceA, Nzs(1, 0xCC, 3)},
                                  {kSourceA, Nzs(1, 0xDD, 2)},
                                  {kSourceA, other_port},
                                  {kSourceA, address},
                                  {kSourceA, address},
                                  {kSourceA, stub},
                                  {kSourceA, stub}}));
}

// Full: new DMX is dropped, other packets push out the oldest DMX, and only
// when nothing but such packets waits is a newcomer dropped.
TEST(DeviceQueue, ControlPacketsNeverGiveWayToDmx) {
  DeviceQueue queue;
  for (std::uint16_t u = 0; u < DeviceQueue::kCapacity; ++u) {
    ASSERT_EQ(Offer(queue, kSourceA, Dmx(u, 1)), DeviceQueue::Offered::kQueued);
  }
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1000, 1)), DeviceQueue::Offered::kDropped);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(7, 2)), DeviceQueue::Offered::kReplaced);  // Still coalesces.
  const Bytes poll = ArtNet(0x2000, 14);
  EXPECT_EQ(Offer(queue, kSourceA, poll), DeviceQueue::Offered::kDisplaced);
  EXPECT_EQ(queue.size(), DeviceQueue::kCapacity);
  QueuedPacket first;
  ASSERT_TRUE(queue.Take(&first));
  EXPECT_EQ(first.bytes[14], 1) << "universe 0, the oldest, made room";

  queue.Clear();
  for (std::size_t i = 0; i < DeviceQueue::kCapacity; ++i) {
    Bytes trigger = ArtNet(0x9900, 20);
    trigger[12] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(Offer(queue, kSourceA, trigger), DeviceQueue::Offered::kQueued);
  }
  EXPECT_EQ(Offer(queue, kSourceA, poll), DeviceQueue::Offered::kDropped);
  EXPECT_EQ(Offer(queue, kSourceA, Dmx(1, 1)), DeviceQueue::Offered::kDropped);
  const Line line = TakeAll(queue);
  ASSERT_EQ(line.size(), DeviceQueue::kCapacity);
  for (std::size_t i = 0; i < line.size(); ++i) EXPECT_EQ(line[i].second[12], i) << "in order";
  EXPECT_EQ(queue.Clear(), 0u);
}

}  // namespace
