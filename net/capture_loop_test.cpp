#include "net/capture_loop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// An IPv4 packet with UDP to port 6454 and an Art-Net payload of
// `payload_size` bytes (at least 10; OpCode 0x5000, ArtDmx) whose bytes
// after the OpCode count from `seed`.
Bytes ArtDmxPacket(std::size_t payload_size, std::uint8_t seed = 0) {
  Bytes packet(28 + payload_size, 0);
  packet[0] = 0x45;
  packet[9] = 17;
  packet[22] = 0x19;  // Destination port 6454.
  packet[23] = 0x36;
  std::memcpy(packet.data() + 28, "Art-Net", 8);
  packet[36] = 0x00;
  packet[37] = 0x50;
  for (std::size_t i = 38; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(seed + i);
  return packet;
}

// Plays the capture socket: hands out a scripted series of receives, each
// written into the loop's buffer as the platform would.
struct ScriptedSocket {
  struct Step {
    CaptureReceive::Result result;
    Bytes bytes;  // kPacket: the packet; kTooLarge: what spills into the buffer.
    std::uint32_t error;
  };
  std::deque<Step> steps;
  std::size_t capacity_seen = 0;

  CaptureReceive Receive(std::uint8_t* buffer, std::size_t capacity) {
    capacity_seen = capacity;
    if (steps.empty()) return {CaptureReceive::Result::kFailed, 0, 0xDEAD};
    const Step step = steps.front();
    steps.pop_front();
    const std::size_t copied = std::min(step.bytes.size(), capacity);
    if (copied != 0) std::memcpy(buffer, step.bytes.data(), copied);
    return {step.result, step.result == CaptureReceive::Result::kPacket ? step.bytes.size() : 0,
            step.error};
  }
};

std::uint32_t RunOver(ScriptedSocket& socket, std::vector<Bytes>& forwarded,
                      std::vector<std::uint32_t>* sources = nullptr) {
  return RunCaptureLoop(
      [&socket](std::uint8_t* buffer, std::size_t capacity) { return socket.Receive(buffer, capacity); },
      [&forwarded, sources](std::uint32_t source, const std::uint8_t* payload, std::size_t size) {
        forwarded.emplace_back(payload, payload + size);
        if (sources != nullptr) sources->push_back(source);
      });
}

Bytes Payload(const Bytes& packet) { return Bytes(packet.begin() + 28, packet.end()); }

// A packet too large for the buffer, whose first bytes look like an Art-Net
// packet, is dropped, and the loop goes on to forward what follows it. The
// loop ends on the first failed receive, with that receive's code.
TEST(CaptureLoop, DropsTooLargePacketsAndEndsOnAFailedReceive) {
  const Bytes first = ArtDmxPacket(530, 1);
  Bytes second = ArtDmxPacket(10, 2);
  const std::uint8_t source[4] = {10, 77, 0, 3};
  std::memcpy(second.data() + 12, source, 4);
  ScriptedSocket socket;
  socket.steps = {
      {CaptureReceive::Result::kPacket, first, 0},
      {CaptureReceive::Result::kTooLarge, ArtDmxPacket(64000), 0},
      {CaptureReceive::Result::kTooLarge, ArtDmxPacket(100), 0},
      {CaptureReceive::Result::kPacket, second, 0},
      {CaptureReceive::Result::kFailed, {}, 10054},
      {CaptureReceive::Result::kPacket, first, 0},  // Never received.
  };
  std::vector<Bytes> forwarded;
  std::vector<std::uint32_t> sources;
  EXPECT_EQ(RunOver(socket, forwarded, &sources), 10054u);
  EXPECT_EQ(socket.capacity_seen, 2048u);
  ASSERT_EQ(forwarded.size(), 2u);
  EXPECT_EQ(forwarded[0], Payload(first));
  EXPECT_EQ(forwarded[1], Payload(second));
  // The source address as it lies in the header: network byte order.
  std::uint32_t expected_source;
  std::memcpy(&expected_source, source, 4);
  EXPECT_EQ(sources, (std::vector<std::uint32_t>{0, expected_source}));
  EXPECT_EQ(socket.steps.size(), 1u);
}

// Each receive is judged on its own count: bytes a longer packet left in the
// buffer never lengthen a shorter one, and an empty receive is not an end.
TEST(CaptureLoop, JudgesEachPacketByItsOwnCount) {
  const Bytes kept = ArtDmxPacket(530, 3);
  Bytes short_poll = ArtDmxPacket(10);
  short_poll.pop_back();  // One byte short of any Art-Net packet.
  ScriptedSocket socket;
  socket.steps = {
      {CaptureReceive::Result::kPacket, ArtDmxPacket(1000), 0},  // Too long: dropped.
      {CaptureReceive::Result::kPacket, short_poll, 0},          // Too short: dropped.
      {CaptureReceive::Result::kPacket, {}, 0},
      {CaptureReceive::Result::kPacket, kept, 0},
      {CaptureReceive::Result::kPacket, ArtDmxPacket(531), 0},  // Dropped.
  };
  std::vector<Bytes> forwarded;
  EXPECT_EQ(RunOver(socket, forwarded), 0xDEADu);
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0], Payload(kept));
}

}  // namespace
