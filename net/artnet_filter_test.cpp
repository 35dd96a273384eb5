#include "net/artnet_filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// An IPv4 packet carrying UDP to `port` with an Art-Net payload of
// `payload_length` bytes (at least 10), OpCode `opcode`.
std::vector<std::uint8_t> ArtNetPacket(std::size_t payload_length, std::uint16_t opcode = 0x5000,
                                       std::uint16_t port = 6454, int header_words = 5,
                                       std::uint8_t protocol = 17) {
  const std::size_t header = static_cast<std::size_t>(header_words) * 4;
  std::vector<std::uint8_t> packet(header + 8 + payload_length, 0);
  packet[0] = static_cast<std::uint8_t>(0x40 | header_words);
  packet[9] = protocol;
  packet[header + 0] = 0x19;  // Source port 6454: never looked at.
  packet[header + 1] = 0x36;
  packet[header + 2] = static_cast<std::uint8_t>(port >> 8);
  packet[header + 3] = static_cast<std::uint8_t>(port);
  std::uint8_t* payload = packet.data() + header + 8;
  for (std::size_t i = 0; i < payload_length; ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  std::memcpy(payload, "Art-Net", 8);
  payload[8] = static_cast<std::uint8_t>(opcode);
  payload[9] = static_cast<std::uint8_t>(opcode >> 8);
  return packet;
}

bool Forwards(const std::vector<std::uint8_t>& packet) {
  return MatchArtNet(packet.data(), packet.size()).has_value();
}

TEST(MatchArtNet, ForwardsThePayloadFromTheIdToTheEnd) {
  const auto packet = ArtNetPacket(14, 0x2000);  // An OpPoll.
  const auto match = MatchArtNet(packet.data(), packet.size());
  ASSERT_TRUE(match);
  EXPECT_EQ(match->offset, 28u);
  EXPECT_EQ(match->length, 14u);
}

TEST(MatchArtNet, PayloadLengthBounds) {
  EXPECT_FALSE(Forwards(ArtNetPacket(530 + 1)));
  EXPECT_TRUE(Forwards(ArtNetPacket(530)));
  EXPECT_TRUE(Forwards(ArtNetPacket(10)));
  // Nine bytes: the ID and the OpCode's low byte only.
  auto nine = ArtNetPacket(10);
  nine.pop_back();
  EXPECT_FALSE(Forwards(nine));
}

TEST(MatchArtNet, HeaderLengthComesFromTheLowNibble) {
  const auto packet = ArtNetPacket(100, 0x5000, 6454, 6);  // 24-byte header.
  const auto match = MatchArtNet(packet.data(), packet.size());
  ASSERT_TRUE(match);
  EXPECT_EQ(match->offset, 32u);
  EXPECT_EQ(match->length, 100u);
  // The version nibble is not looked at.
  auto odd_version = ArtNetPacket(20);
  odd_version[0] = 0x05;
  EXPECT_TRUE(Forwards(odd_version));
}

TEST(MatchArtNet, DropsRepliesAndSyncByTheHighByteOnly) {
  for (unsigned low : {0x00u, 0x01u, 0xFFu}) {
    EXPECT_FALSE(Forwards(ArtNetPacket(239, static_cast<std::uint16_t>(0x2100 | low))));
    EXPECT_FALSE(Forwards(ArtNetPacket(14, static_cast<std::uint16_t>(0x5200 | low))));
  }
  EXPECT_TRUE(Forwards(ArtNetPacket(14, 0x2000)));  // OpPoll
  EXPECT_TRUE(Forwards(ArtNetPacket(14, 0x0021)));  // 0x21 in the low byte is kept.
  EXPECT_TRUE(Forwards(ArtNetPacket(530, 0x5000)));  // OpDmx
}

TEST(MatchArtNet, DropsOtherTrafficThatLooksLikeArtNet) {
  EXPECT_FALSE(Forwards(ArtNetPacket(14, 0x2000, 6455)));
  EXPECT_FALSE(Forwards(ArtNetPacket(14, 0x2000, 0x3619)));  // Port bytes swapped.
  EXPECT_FALSE(Forwards(ArtNetPacket(14, 0x2000, 6454, 5, 6)));  // TCP to 6454.
  auto bad_id = ArtNetPacket(14);
  bad_id[28 + 7] = ' ';  // "Art-Net" without its zero byte.
  EXPECT_FALSE(Forwards(bad_id));
}

// Bytes 6 and 7: three flag bits (reserved, Don't Fragment, More Fragments)
// and a 13-bit offset in 8-byte units. The first fragment of an Art-Net
// datagram holds its UDP header and the start of its payload; a later one
// holds whatever bytes of the payload fall there, which may look like a UDP
// header and the ID. Neither is a datagram.
TEST(MatchArtNet, DropsFragments) {
  const struct {
    std::uint8_t high, low;
    bool kept;
  } cases[] = {
      {0x00, 0x00, true},   // Whole.
      {0x40, 0x00, true},   // Don't Fragment: whole, and must stay so.
      {0x80, 0x00, true},   // The reserved bit alone says nothing of fragments.
      {0x20, 0x00, false},  // More Fragments at offset 0: the first fragment.
      {0x00, 0x01, false},  // Offset 8 bytes, the last fragment.
      {0x20, 0xB9, false},  // A middle one (offset 1480 bytes, as over Ethernet).
      {0x1F, 0xFF, false},  // The largest offset.
      {0x10, 0x00, false},  // The offset's top bit alone.
      {0x60, 0x00, false},  // Don't Fragment and More Fragments, as no sender should.
      {0xDF, 0xFF, false},
  };
  for (const auto& c : cases) {
    for (int header_words : {5, 6}) {
      auto packet = ArtNetPacket(118, 0x5000, 6454, header_words);
      packet[6] = c.high;
      packet[7] = c.low;
      EXPECT_EQ(Forwards(packet), c.kept) << std::hex << int{c.high} << " " << int{c.low};
    }
  }
}

TEST(MatchArtNet, ShortAndEmptyCounts) {
  const auto packet = ArtNetPacket(14);
  for (std::size_t n = 0; n < 10; ++n) EXPECT_FALSE(MatchArtNet(packet.data(), n)) << n;
  // A header longer than the packet.
  auto long_header = ArtNetPacket(14, 0x2000, 6454, 15);
  long_header.resize(40);
  EXPECT_FALSE(Forwards(long_header));
}

// Whatever the bytes, the filter reads only the first `count` of them: each
// count is tried on a heap block of exactly that size, so a sanitizer or
// valgrind catches any read past it.
TEST(MatchArtNet, NeverReadsPastTheCount) {
  for (int words = 0; words < 16; ++words) {
    const auto full = ArtNetPacket(530, 0x5000, 6454, words < 5 ? 5 : words);
    for (std::size_t count = 0; count <= 2048; count += (count < 120 ? 1 : 37)) {
      std::vector<std::uint8_t> exact(count);
      for (std::size_t i = 0; i < count; ++i) exact[i] = i < full.size() ? full[i] : 0xFF;
      if (count > 0) exact[0] = static_cast<std::uint8_t>(0x40 | words);
      const auto match = MatchArtNet(exact.data(), count);
      if (match) {
        EXPECT_LE(match->offset + match->length, count);
        EXPECT_GE(match->length, 10u);
        EXPECT_LE(match->length, 530u);
      }
    }
  }
}

}  // namespace
