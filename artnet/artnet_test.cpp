#include "artnet/artnet.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> Packet(std::uint16_t opcode, std::size_t size) {
  std::vector<std::uint8_t> packet(size, 0);
  for (std::size_t i = 0; i < sizeof kArtNetId && i < size; ++i) packet[i] = kArtNetId[i];
  if (size > kArtNetOpCodeOffset + 1) {
    packet[kArtNetOpCodeOffset] = static_cast<std::uint8_t>(opcode & 0xFF);
    packet[kArtNetOpCodeOffset + 1] = static_cast<std::uint8_t>(opcode >> 8);
  }
  return packet;
}

// The universe key decides which DMX packets may replace each other on the
// device's wire: a wrong byte or bound there mixes two universes' data.
TEST(DmxUniverse, ReadsTheKeyOfArtDmxAndArtNzsOnly) {
  std::vector<std::uint8_t> dmx = Packet(kOpDmx, kDmxHeaderSize + 2);
  dmx[kDmxPhysicalOffset] = 3;  // The physical port says nothing of the data.
  dmx[kDmxSubUniOffset] = 0x21;
  dmx[kDmxNetOffset] = 0x85;  // Net's top bit is not part of the Port-Address.
  const std::optional<UniverseKey> key = DmxUniverse(dmx.data(), dmx.size());
  ASSERT_TRUE(key);
  EXPECT_EQ(key->opcode, kOpDmx);
  EXPECT_EQ(key->start_code, 0);
  EXPECT_EQ(key->universe, 0x8521);
  EXPECT_EQ(key->port_address(), 0x0521);

  std::vector<std::uint8_t> nzs = Packet(kOpNzs, kDmxHeaderSize);
  nzs[kDmxStartCodeOffset] = 0xCC;
  nzs[kDmxSubUniOffset] = 0x21;
  nzs[kDmxNetOffset] = 0x05;
  ASSERT_TRUE(DmxUniverse(nzs.data(), nzs.size()));
  EXPECT_EQ(DmxUniverse(nzs.data(), nzs.size())->start_code, 0xCC);
  EXPECT_NE(DmxUniverse(nzs.data(), nzs.size())->value(), key->value());

  // One byte short of the header names no universe; other OpCodes and
  // packets without the ID have none.
  EXPECT_FALSE(DmxUniverse(dmx.data(), kDmxHeaderSize - 1));
  std::vector<std::uint8_t> poll = Packet(kOpPoll, kDmxHeaderSize);
  EXPECT_FALSE(DmxUniverse(poll.data(), poll.size()));
  dmx[7] = '!';
  EXPECT_FALSE(DmxUniverse(dmx.data(), dmx.size()));
}

TEST(ArtNetHeader, NeedsTheWholeIdAndTheOpCode) {
  const std::vector<std::uint8_t> sync = Packet(kOpSync, kArtNetHeaderSize);
  EXPECT_TRUE(IsArtNet(sync.data(), sync.size()));
  EXPECT_EQ(ArtNetOpCode(sync.data()), kOpSync);
  EXPECT_FALSE(IsArtNet(sync.data(), kArtNetHeaderSize - 1));
  EXPECT_EQ(kOpSyncHigh, 0x52);
  EXPECT_EQ(kOpPollReplyHigh, 0x21);
}

}  // namespace
