#include "tools/artnet_packets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> EveryByte() {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  return bytes;
}

TEST(ArtNetPackets, HexRoundTripAndItsRejects) {
  const std::vector<std::uint8_t> every = EveryByte();
  const std::string text = Hex(every.data(), every.size());
  EXPECT_EQ(text.substr(0, 8), "00010203");
  EXPECT_EQ(text.substr(text.size() - 4), "feff");
  EXPECT_EQ(ParseHex(text), every);

  EXPECT_EQ(ParseHex("4F:4b 0D\t0a\r"), (std::vector<std::uint8_t>{'O', 'K', '\r', '\n'}));
  EXPECT_EQ(ParseHex(""), std::vector<std::uint8_t>{});
  EXPECT_FALSE(ParseHex("4f4"));   // A digit left over.
  EXPECT_FALSE(ParseHex("4g"));    // Not a digit.
  EXPECT_FALSE(ParseHex("0x4f"));  // Not a separator either.
}

TEST(ArtNetPackets, PollReplyFieldsStayInside) {
  PollReplyNode node;
  node.address[0] = 10;
  node.address[3] = 9;
  node.short_name = std::string(30, 's');  // Longer than every field.
  node.long_name = std::string(80, 'l');
  node.node_report = std::string(80, 'r');
  const std::vector<std::uint8_t> frame = BuildPollReplyFrame(node);
  ASSERT_EQ(frame.size(), kPollReplyFrameSize);
  EXPECT_EQ(std::string(frame.begin(), frame.begin() + 10), std::string("Art-Net\0\x00\x21", 10));
  EXPECT_EQ(frame[10], 10);
  EXPECT_EQ(frame[13], 9);
  EXPECT_EQ(frame[207], 10);  // BindIp is the node's own address.
  // Each text fills its field but for the zero at its end.
  EXPECT_EQ(std::string(frame.begin() + 26, frame.begin() + 43), std::string(17, 's'));
  EXPECT_EQ(frame[43], 0);
  EXPECT_EQ(std::string(frame.begin() + 44, frame.begin() + 107), std::string(63, 'l'));
  EXPECT_EQ(frame[107], 0);
  EXPECT_EQ(std::string(frame.begin() + 108, frame.begin() + 171), std::string(63, 'r'));
  EXPECT_EQ(frame[171], 0);
  EXPECT_EQ(frame[172], 0);  // NumPorts, after the report: untouched by it.
  EXPECT_EQ(frame[173], 1);
  EXPECT_EQ(frame[kPollReplySize], '\r');
  EXPECT_EQ(frame[kPollReplySize + 1], '\n');
}

TEST(ArtNetPackets, PollReplyNamesItsPortsAndUniverses) {
  PollReplyNode node;
  const std::vector<std::uint8_t> first = BuildPollReplyFrame(node);
  EXPECT_EQ(first[18], 0);   // NetSwitch
  EXPECT_EQ(first[19], 0);   // SubSwitch
  EXPECT_EQ(first[173], 1);  // NumPortsLo: one port, by default...
  EXPECT_EQ(first[174], 0x80);  // ...an output...
  EXPECT_EQ(first[190], 0);  // ...of universe 0 (SwOut[0]).
  EXPECT_EQ(first[211], 1);  // BindIndex: the first page is 1, not 0.

  node.bind_index = 4;
  node.ports = {{true, 0x7ABC}, {false, 0x7AB3}, {true, 0x7ABF}};  // Net 0x7A, Sub-Net 0xB.
  const std::vector<std::uint8_t> fourth = BuildPollReplyFrame(node);
  EXPECT_EQ(fourth[18], 0x7A);
  EXPECT_EQ(fourth[19], 0x0B);
  EXPECT_EQ(fourth[173], 3);
  EXPECT_EQ(std::vector<std::uint8_t>(fourth.begin() + 174, fourth.begin() + 178),
            (std::vector<std::uint8_t>{0x80, 0x40, 0x80, 0}));  // PortTypes
  EXPECT_EQ(std::vector<std::uint8_t>(fourth.begin() + 186, fourth.begin() + 194),
            (std::vector<std::uint8_t>{0, 0x03, 0, 0, 0x0C, 0, 0x0F, 0}));  // SwIn, SwOut
  EXPECT_EQ(fourth[211], 4);
  node.ports = {{true, 0xFFFF}};  // Only 15 bits belong to the Port-Address.
  EXPECT_EQ(BuildPollReplyFrame(node)[18], 0x7F);
  node.ports.clear();  // A page that describes no port.
  const std::vector<std::uint8_t> none = BuildPollReplyFrame(node);
  EXPECT_EQ(none[173], 0);
  EXPECT_EQ(none[174], 0);
}

TEST(ArtNetPackets, PollReplyPagesHoldPortsThatShareNetAndSubNet) {
  PollReplyNode node;
  node.short_name = "pages";
  auto universes = [](const PollReplyNode& page) {
    std::vector<std::pair<bool, std::uint16_t>> found;
    for (const PollReplyPort& port : page.ports) found.emplace_back(port.output, port.port_address);
    return found;
  };
  // Twelve outputs, four to a page: three pages, BindIndex 1 to 3.
  std::vector<std::uint16_t> twelve;
  for (std::uint16_t u = 0; u < 12; ++u) twelve.push_back(u);
  const std::vector<PollReplyNode> three = PollReplyPages(node, twelve, {}, 4);
  ASSERT_EQ(three.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(three[i].bind_index, i + 1);
    EXPECT_EQ(three[i].short_name, "pages");
    ASSERT_EQ(three[i].ports.size(), 4u);
    EXPECT_EQ(three[i].ports[0].port_address, 4 * i);
  }
  // Sub-Net changes at 16: a new page there, however much room is left;
  // inputs follow the outputs.
  const std::vector<PollReplyNode> split = PollReplyPages(node, {14, 15, 16}, {0x123}, 4);
  ASSERT_EQ(split.size(), 3u);
  EXPECT_EQ(universes(split[0]), (std::vector<std::pair<bool, std::uint16_t>>{{true, 14}, {true, 15}}));
  EXPECT_EQ(universes(split[1]), (std::vector<std::pair<bool, std::uint16_t>>{{true, 16}}));
  EXPECT_EQ(universes(split[2]), (std::vector<std::pair<bool, std::uint16_t>>{{false, 0x123}}));
  // One port a page; at least as many pages as asked, the rest empty.
  const std::vector<PollReplyNode> padded = PollReplyPages(node, {7}, {}, 1, 3);
  ASSERT_EQ(padded.size(), 3u);
  EXPECT_EQ(padded[0].ports.size(), 1u);
  EXPECT_TRUE(padded[1].ports.empty());
  EXPECT_EQ(padded[2].bind_index, 3);
  // No port at all: one page that says so.
  const std::vector<PollReplyNode> none = PollReplyPages(node, {}, {}, 4);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].ports.empty());
}

TEST(ArtNetPackets, PortAddressListsAndTheirRejects) {
  using List = std::vector<std::uint16_t>;
  EXPECT_EQ(ParsePortAddresses("0-3"), (List{0, 1, 2, 3}));
  EXPECT_EQ(ParsePortAddresses("8,0-1,32767"), (List{8, 0, 1, 32767}));
  EXPECT_EQ(ParsePortAddresses("5-5"), (List{5}));
  for (const char* bad : {"", "3-1", "32768", "99999999999999999999", "1,", ",1", "1-", "-1", "a", "1 2",
                          "0-3,x"}) {
    EXPECT_FALSE(ParsePortAddresses(bad)) << bad;
  }
}

TEST(ArtNetPackets, NumberedArtDmxIsCheckedWhole) {
  std::uint8_t packet[kNumberedArtDmxSize];
  const std::uint64_t number = 0x0123456789ABCDEFull;  // Every byte of it counts.
  BuildNumberedArtDmx(number, packet);
  EXPECT_EQ(std::string(packet, packet + 12), std::string("Art-Net\0\x00\x50\x00\x0e", 12));
  EXPECT_EQ(packet[16], 0x02);  // 512 channels, high byte first.
  EXPECT_EQ(packet[17], 0x00);
  std::uint64_t read = 0;
  ASSERT_TRUE(ParseNumberedArtDmx(packet, &read));
  EXPECT_EQ(read, number);

  std::uint8_t neighbour[kNumberedArtDmxSize];
  BuildNumberedArtDmx(number + 1, neighbour);
  EXPECT_NE(std::string(packet + 26, packet + 530), std::string(neighbour + 26, neighbour + 530));
  // Damage anywhere: in the header, the number's low byte (the pattern
  // follows it) or the pattern.
  for (const std::size_t at : {std::size_t{0}, std::size_t{9}, std::size_t{17}, std::size_t{18},
                               std::size_t{26}, kNumberedArtDmxSize - 1}) {
    std::uint8_t damaged[kNumberedArtDmxSize];
    std::copy(packet, packet + kNumberedArtDmxSize, damaged);
    damaged[at] ^= 0x40;
    EXPECT_FALSE(ParseNumberedArtDmx(damaged, &read)) << "byte " << at;
  }
}

TEST(ArtNetPackets, NumberedArtDmxCheckCountsWhatWentWrong) {
  // Packets 0, 1, 3 (2 lost), 7 stray bytes, 4, then 1 again; fed in pieces
  // that split packets and the Art-Net ID itself.
  std::vector<std::uint8_t> stream;
  auto add = [&stream](std::uint64_t number) {
    std::uint8_t packet[kNumberedArtDmxSize];
    BuildNumberedArtDmx(number, packet);
    stream.insert(stream.end(), packet, packet + kNumberedArtDmxSize);
  };
  add(0);
  add(1);
  add(3);
  stream.insert(stream.end(), {'A', 'r', 't', '-', 'N', 'e', 't'});  // An ID's start, then none.
  add(4);
  add(1);
  NumberedArtDmxCheck check;
  for (std::size_t at = 0; at < stream.size(); at += 3) {
    check.Feed(stream.data() + at, std::min<std::size_t>(3, stream.size() - at));
  }
  EXPECT_EQ(check.packets(), 4u);
  EXPECT_EQ(check.lost(), 1u);
  EXPECT_EQ(check.out_of_order(), 1u);
  EXPECT_EQ(check.stray_bytes(), 7u);
  EXPECT_EQ(check.next_number(), 5u);

  // The start of a packet is held back for the rest, and counts as stray
  // while the rest has not come.
  NumberedArtDmxCheck tail;
  tail.Feed(stream.data(), kNumberedArtDmxSize + 100);
  EXPECT_EQ(tail.packets(), 1u);
  EXPECT_EQ(tail.stray_bytes(), 100u);
  tail.Feed(stream.data() + kNumberedArtDmxSize + 100, kNumberedArtDmxSize - 100);
  EXPECT_EQ(tail.packets(), 2u);
  EXPECT_EQ(tail.stray_bytes(), 0u);
}

TEST(ArtNetPackets, TracedPacketsCarryTheirFieldsAndAreCheckedWhole) {
  const std::pair<std::uint16_t, std::size_t> kinds[] = {
      {kOpDmx, 530}, {kOpPoll, 22}, {kOpAddress, 107}, {kOpTodRequest, 56}};
  for (const auto& [opcode, size] : kinds) {
    SCOPED_TRACE(opcode);
    TracedPacket sent;
    sent.opcode = opcode;
    sent.source = 1;
    sent.sequence = 0x89ABCDEF;
    if (opcode == kOpDmx) {
      sent.universe = 0x7ABC;                  // Net 0x7A, SubUni 0xBC.
      sent.sent_ns = 0x0123456789ABCDEFll;     // Every byte of it counts.
      sent.art_sequence = 0x5A;
    }
    std::uint8_t packet[kMaxTracedPacketSize];
    ASSERT_EQ(BuildTracedPacket(sent, packet), size);
    EXPECT_EQ(TracedPacketSize(opcode), size);
    EXPECT_EQ(packet[8] | packet[9] << 8, opcode);
    EXPECT_EQ(packet[11], 14);  // Protocol version.
    TracedPacket read;
    ASSERT_TRUE(ParseTracedPacket(packet, size, &read));
    EXPECT_EQ(read.source, 1);
    EXPECT_EQ(read.sequence, 0x89ABCDEFu);
    EXPECT_EQ(read.universe, sent.universe);
    EXPECT_EQ(read.sent_ns, sent.sent_ns);
    EXPECT_EQ(read.art_sequence, sent.art_sequence);
    // Cut short, run into the next packet, or a bit changed anywhere.
    EXPECT_FALSE(ParseTracedPacket(packet, size - 1, &read));
    EXPECT_FALSE(ParseTracedPacket(packet, size + 1, &read));
    for (std::size_t at = 0; at < size; ++at) {
      std::uint8_t damaged[kMaxTracedPacketSize];
      std::copy(packet, packet + size, damaged);
      damaged[at] ^= 0x80;
      if (opcode == kOpDmx && at == 12) {
        // Art-Net's Sequence is a field of its own: read, not checked.
        ASSERT_TRUE(ParseTracedPacket(damaged, size, &read));
        EXPECT_EQ(read.art_sequence, 0xDA);
        continue;
      }
      EXPECT_FALSE(ParseTracedPacket(damaged, size, &read)) << "byte " << at;
    }
  }
  std::uint8_t dmx[kMaxTracedPacketSize];
  TracedPacket universe;
  universe.universe = 0x7ABC;
  BuildTracedPacket(universe, dmx);
  EXPECT_EQ(dmx[14], 0xBC);  // SubUni
  EXPECT_EQ(dmx[15], 0x7A);  // Net
  EXPECT_EQ(dmx[16], 0x02);  // 512 channels, high byte first.
  EXPECT_EQ(dmx[17], 0x00);
  // A universe whose data stays the same: only its Sequence byte differs.
  std::uint8_t again[kMaxTracedPacketSize];
  universe.art_sequence = 7;
  BuildTracedPacket(universe, again);
  EXPECT_EQ(again[12], 7);
  again[12] = dmx[12];
  EXPECT_EQ(std::string(dmx, dmx + 530), std::string(again, again + 530));
  // What a node reads from the others: change nothing.
  std::uint8_t address[kMaxTracedPacketSize];
  TracedPacket request;
  request.opcode = kOpAddress;
  BuildTracedPacket(request, address);
  EXPECT_EQ(address[12], 0x7F);  // NetSwitch
  EXPECT_EQ(address[14], 0);     // PortName
  EXPECT_EQ(address[32], 0);     // LongName
  EXPECT_EQ(address[104], 0x7F);  // SubSwitch
  EXPECT_EQ(address[106], 0);    // Command: AcNone
  std::uint8_t poll[kMaxTracedPacketSize];
  request.opcode = kOpPoll;
  BuildTracedPacket(request, poll);
  EXPECT_EQ(poll[12], 0);  // No targeted mode: the Port-Address fields are ignored.
  TracedPacket other;
  other.opcode = 0x2100;
  EXPECT_EQ(BuildTracedPacket(other, poll), 0u);
  EXPECT_EQ(TracedPacketSize(0x2100), 0u);
}

}  // namespace
