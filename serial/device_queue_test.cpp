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

// Everything waiting, in the order taken at `now`, as (source, bytes).
std::vector<std::pair<std::uint32_t, Bytes>> TakeAll(DeviceQueue& queue, std::int64_t now = 0) {
  std::vector<std::pair<std::uint32_t, Bytes>> taken;
  QueuedPacket packet;
  while (queue.Take(now, &packet)) {
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
  EXPECT_FALSE(queue.Take(0, &packet));
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
  ASSERT_TRUE(queue.Take(0, &first));
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

constexpr std::int64_t kMs = 1000000;

// An ArtDmx as a controller re-sends it: the same Length and channels, its
// own Sequence and Physical.
Bytes Again(Bytes packet, std::uint8_t sequence) {
  packet[12] = sequence;
  packet[13] = static_cast<std::uint8_t>(sequence * 7);
  return packet;
}

// What the device shows already waits behind what it does not: a repeat
// lets every packet that is not one go first, keeping its own place among
// the repeats, and goes when only repeats are left.
TEST(DeviceQueue, RepeatsLetNewsAndOtherPacketsGoFirst) {
  DeviceQueue queue;
  const Bytes one = Dmx(1, 10);
  const Bytes two = Dmx(2, 20);
  Offer(queue, kSourceA, one);
  Offer(queue, kSourceA, two);
  TakeAll(queue, 0);  // Both went to the wire.
  const Bytes poll = ArtNet(0x2000, 14);
  const Bytes three = Dmx(3, 30);
  Offer(queue, kSourceA, Again(one, 1));
  Offer(queue, kSourceA, Again(two, 2));
  Offer(queue, kSourceA, poll);
  Offer(queue, kSourceA, three);
  EXPECT_EQ(TakeAll(queue, 10 * kMs),
            (Line{{kSourceA, poll}, {kSourceA, three}, {kSourceA, Again(one, 1)}, {kSourceA, Again(two, 2)}}));

  // A repeat replaced in its place by changed data is news there.
  Offer(queue, kSourceA, Again(one, 3));
  Offer(queue, kSourceA, Again(three, 4));
  Offer(queue, kSourceA, Dmx(1, 11));
  EXPECT_EQ(TakeAll(queue, 20 * kMs), (Line{{kSourceA, Dmx(1, 11)}, {kSourceA, Again(three, 4)}}));
}

// What the writer asks before it waits for the wire: whether only
// repeats wait, which may wait for an idle one.
TEST(DeviceQueue, OnlyRepeatsWaitUntilNewsOrAnythingElseComes) {
  DeviceQueue queue;
  EXPECT_FALSE(queue.OnlyRepeatsWait(0)) << "nothing waits";
  const Bytes one = Dmx(1, 10);
  Offer(queue, kSourceA, one);
  EXPECT_FALSE(queue.OnlyRepeatsWait(0));
  TakeAll(queue, 0);
  Offer(queue, kSourceA, Again(one, 1));
  EXPECT_TRUE(queue.OnlyRepeatsWait(kMs));
  EXPECT_FALSE(queue.OnlyRepeatsWait(DeviceQueue::kKeepAlive)) << "due again";
  Offer(queue, kSourceA, ArtNet(0x2000, 14));
  EXPECT_FALSE(queue.OnlyRepeatsWait(kMs));
}

// Length and channels make the data; a change anywhere in them, its last
// channel or its length alone, is news. ArtNzs are never told apart.
TEST(DeviceQueue, DataIsLengthAndChannels) {
  DeviceQueue queue;
  Bytes full = Dmx(5, 50);
  Offer(queue, kSourceA, full);
  Offer(queue, kSourceA, Nzs(5, 0x91, 1));
  TakeAll(queue, 0);
  const Bytes poll = ArtNet(0x2000, 14);
  auto first_after_poll = [&](const Bytes& packet) {
    // Offered ahead of a control packet, a repeat lets it go first.
    Offer(queue, kSourceA, packet);
    Offer(queue, kSourceA, poll);
    const Line line = TakeAll(queue, kMs);
    return line.size() == 2 && line[0].second == packet;
  };
  EXPECT_FALSE(first_after_poll(Again(full, 9)));
  Bytes last = full;
  last[529] ^= 1;
  EXPECT_TRUE(first_after_poll(last));
  EXPECT_FALSE(first_after_poll(last));
  Bytes shorter(last.begin(), last.end() - 2);
  shorter[16] = 0x01;  // 510 channels, the first 510 of them the same.
  shorter[17] = 0xFE;
  EXPECT_TRUE(first_after_poll(shorter));
  EXPECT_TRUE(first_after_poll(Nzs(5, 0x91, 1)));
  EXPECT_TRUE(first_after_poll(Nzs(5, 0x91, 1)));
}

// Each source's stream is its own: the same data from another controller,
// for a node that merges them, is news until that controller sent it.
TEST(DeviceQueue, RepeatsArePerSource) {
  DeviceQueue queue;
  const Bytes data = Dmx(1, 10);
  Offer(queue, kSourceA, data);
  TakeAll(queue, 0);
  Offer(queue, kSourceA, data);
  Offer(queue, kSourceB, data);
  EXPECT_EQ(TakeAll(queue, kMs), (Line{{kSourceB, data}, {kSourceA, data}}));
  Offer(queue, kSourceA, data);
  Offer(queue, kSourceB, data);
  Offer(queue, kSourceA, Dmx(2, 1));
  EXPECT_EQ(TakeAll(queue, 2 * kMs), (Line{{kSourceA, Dmx(2, 1)}, {kSourceA, data}, {kSourceB, data}}));
}

// However much news there is, a repeat goes once its stream has sent
// nothing for kKeepAlive, in its place; and every repeat that goes counts.
TEST(DeviceQueue, RepeatsStillGoOnceTheyAreDue) {
  DeviceQueue queue;
  const Bytes still = Dmx(1, 10);
  Offer(queue, kSourceA, still);
  TakeAll(queue, 0);
  Offer(queue, kSourceA, Again(still, 1));
  QueuedPacket packet;
  std::int64_t now = 0;
  std::uint8_t level = 0;
  // News of universe 2 keeps coming, one for every packet taken.
  for (; now < DeviceQueue::kKeepAlive; now += 5 * kMs) {
    Offer(queue, kSourceA, Dmx(2, ++level));
    ASSERT_TRUE(queue.Take(now, &packet));
    ASSERT_EQ(packet.bytes[14], 2) << "the repeat went early, at " << now;
  }
  Offer(queue, kSourceA, Dmx(2, ++level));
  ASSERT_TRUE(queue.Take(now, &packet));
  EXPECT_EQ(packet.bytes[14], 1) << "the repeat is due";
  EXPECT_EQ(packet.bytes[12], 1);
  // Sent at `now`, it is not due again until kKeepAlive later.
  Offer(queue, kSourceA, Again(still, 2));
  ASSERT_TRUE(queue.Take(now + DeviceQueue::kKeepAlive - 1, &packet));
  EXPECT_EQ(packet.bytes[14], 2);
  Offer(queue, kSourceA, Dmx(2, ++level));
  ASSERT_TRUE(queue.Take(now + DeviceQueue::kKeepAlive, &packet));
  EXPECT_EQ(packet.bytes[14], 1);
}

// Thousands of streams fill no memory: what is forgotten counts as news,
// and the streams seen last are still told apart.
TEST(DeviceQueue, HistoryOfManyStreamsStaysBounded) {
  DeviceQueue queue;
  QueuedPacket packet;
  for (std::uint16_t universe = 0; universe < 5000; ++universe) {
    Offer(queue, kSourceA, Dmx(universe, 1));
    ASSERT_TRUE(queue.Take(0, &packet));
  }
  Offer(queue, kSourceA, Dmx(4999, 1));
  Offer(queue, kSourceA, ArtNet(0x2000, 14));
  ASSERT_TRUE(queue.Take(kMs, &packet));
  EXPECT_EQ(packet.size, 14u) << "the last stream's repeat let the ArtPoll go first";
}

}  // namespace
