#include "artnet/device_outputs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Addresses = std::vector<std::uint16_t>;

struct Port {
  std::uint8_t type;    // PortTypes: 0x80 output, 0x40 input, 0xC0 both.
  std::uint8_t swin;
  std::uint8_t swout;
};

// An ArtPollReply of 239 bytes, then the serial link's CR LF, for page
// `bind_index` of a node at Net `net`, Sub-Net `sub_net`.
Bytes Reply(std::uint8_t bind_index, std::uint8_t net, std::uint8_t sub_net, const std::vector<Port>& ports) {
  Bytes frame(239, 0);
  std::memcpy(frame.data(), "Art-Net", 8);
  frame[8] = 0x00;  // OpPollReply, low byte first.
  frame[9] = 0x21;
  frame[18] = net;
  frame[19] = sub_net;
  frame[173] = static_cast<std::uint8_t>(ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    frame[174 + i] = ports[i].type;
    frame[186 + i] = ports[i].swin;
    frame[190 + i] = ports[i].swout;
  }
  frame[211] = bind_index;
  frame.push_back('\r');
  frame.push_back('\n');
  return frame;
}

bool Learn(DeviceOutputs& outputs, const Bytes& frame) { return outputs.Learn(frame.data(), frame.size()); }

TEST(DeviceOutputs, NothingKnownMeansEveryUniverse) {
  DeviceOutputs outputs;
  EXPECT_FALSE(outputs.known());
  EXPECT_TRUE(outputs.Outputs(0));
  EXPECT_TRUE(outputs.Outputs(0x7FFF));
  EXPECT_EQ(outputs.PortAddresses(), Addresses{});
  // A reply of inputs only, or of no port at all, says of no output.
  EXPECT_FALSE(Learn(outputs, Reply(1, 0, 0, {{0x40, 3, 0}})));
  EXPECT_FALSE(Learn(outputs, Reply(2, 0, 0, {})));
  EXPECT_FALSE(outputs.known());
  EXPECT_TRUE(outputs.Outputs(3));
}

// PortTypes bit 7 alone makes a port an output: SwIn and the protocol bits
// say nothing of it, and NumPorts is not needed.
TEST(DeviceOutputs, OnlyPortsMarkedAsOutputsCount) {
  DeviceOutputs outputs;
  Bytes reply = Reply(1, 0, 1, {{0x80, 9, 0}, {0x40, 1, 1}, {0xC0, 2, 2}, {0x85, 0, 3}});
  reply[173] = 1;  // NumPorts understated: PortTypes still holds.
  EXPECT_TRUE(Learn(outputs, reply));
  EXPECT_TRUE(outputs.known());
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0x10, 0x12, 0x13}));
  EXPECT_FALSE(outputs.Outputs(0x11));  // The input's universe.
  EXPECT_FALSE(outputs.Outputs(0x19));  // SwIn of the first port.
  EXPECT_FALSE(outputs.Outputs(0));
  EXPECT_TRUE(outputs.Outputs(0x13));
}

TEST(DeviceOutputs, PortAddressIsNetSubNetAndUniverseOfFifteenBits) {
  DeviceOutputs outputs;
  // Net 0x7A, Sub-Net 0xB, SwOut 0xC: 0x7ABC. Bits outside each field's
  // width are not the address's.
  EXPECT_TRUE(Learn(outputs, Reply(1, 0x80 | 0x7A, 0xF0 | 0x0B, {{0x80, 0, 0xF0 | 0x0C}})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0x7ABC}));
  EXPECT_TRUE(outputs.Outputs(0x7ABC));
  EXPECT_TRUE(outputs.Outputs(0x8000 | 0x7ABC));  // An ArtDmx's Net has 7 bits too.
  EXPECT_FALSE(outputs.Outputs(0x0ABC));
  EXPECT_FALSE(outputs.Outputs(0x7ABD));
  EXPECT_FALSE(outputs.Outputs(0x7BBC));
  EXPECT_TRUE(Learn(outputs, Reply(1, 0x7F, 0x0F, {{0x80, 0, 0x0F}})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0x7FFF}));
}

TEST(DeviceOutputs, EachPageReplacesOnlyItsOwnPorts) {
  DeviceOutputs outputs;
  // Three pages of four outputs: 0-3, 4-7, 8-11.
  for (std::uint8_t page = 1; page <= 3; ++page) {
    const std::uint8_t first = static_cast<std::uint8_t>(4 * (page - 1));
    EXPECT_TRUE(Learn(outputs, Reply(page, 0, 0, {{0x80, 0, first}, {0x80, 0, static_cast<std::uint8_t>(first + 1)},
                                                   {0x80, 0, static_cast<std::uint8_t>(first + 2)},
                                                   {0x80, 0, static_cast<std::uint8_t>(first + 3)}})));
  }
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  // The same page again, as every ArtPoll brings it: nothing changes.
  EXPECT_FALSE(Learn(outputs, Reply(2, 0, 0, {{0x80, 0, 4}, {0x80, 0, 5}, {0x80, 0, 6}, {0x80, 0, 7}})));
  // Page 2 moves to Sub-Net 1; the others stay.
  EXPECT_TRUE(Learn(outputs, Reply(2, 0, 1, {{0x80, 0, 4}, {0x80, 0, 5}})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0, 1, 2, 3, 8, 9, 10, 11, 0x14, 0x15}));
  // Page 3 now describes no port: its universes are no longer output.
  EXPECT_TRUE(Learn(outputs, Reply(3, 0, 0, {})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0, 1, 2, 3, 0x14, 0x15}));
  // Two pages outputting one universe (the union is the same): it stays
  // while either does.
  EXPECT_FALSE(Learn(outputs, Reply(4, 0, 0, {{0x80, 0, 2}})));
  EXPECT_TRUE(Learn(outputs, Reply(1, 0, 0, {{0x80, 0, 0}, {0x80, 0, 1}, {0x80, 0, 2}, {0x40, 0, 3}})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{0, 1, 2, 0x14, 0x15}));
  // BindIndex 0, from a device older than pages, is its root: page 1.
  EXPECT_TRUE(Learn(outputs, Reply(0, 0, 0, {})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{2, 0x14, 0x15}));
  // The last page of a device that had 255 is a page like any other.
  EXPECT_TRUE(Learn(outputs, Reply(255, 0x12, 0x3, {{0x80, 0, 4}})));
  EXPECT_TRUE(outputs.Outputs(0x1234));
}

TEST(DeviceOutputs, FramesThatAreNotWholeRepliesTeachNothing) {
  DeviceOutputs outputs;
  const Bytes reply = Reply(1, 0, 0, {{0x80, 0, 5}});
  // Cut before BindIndex, with or without the CR LF after it.
  EXPECT_FALSE(outputs.Learn(reply.data(), 211));
  Bytes cut(reply.begin(), reply.begin() + 211);
  cut.push_back('\r');
  cut.push_back('\n');
  EXPECT_FALSE(Learn(outputs, cut));
  EXPECT_FALSE(outputs.known());
  // Another OpCode, another ID.
  Bytes poll = reply;
  poll[9] = 0x20;
  EXPECT_FALSE(Learn(outputs, poll));
  Bytes other = reply;
  other[3] = 'x';
  EXPECT_FALSE(Learn(outputs, other));
  EXPECT_FALSE(Learn(outputs, Bytes{}));
  EXPECT_FALSE(outputs.known());
  // Just long enough: BindIndex is its last byte, and no CR LF follows.
  EXPECT_TRUE(outputs.Learn(reply.data(), 212));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{5}));
}

TEST(DeviceOutputs, ANewDeviceStartsUnknown) {
  DeviceOutputs outputs;
  EXPECT_TRUE(Learn(outputs, Reply(1, 0, 0, {{0x80, 0, 1}})));
  EXPECT_TRUE(Learn(outputs, Reply(2, 0, 0, {{0x80, 0, 2}})));
  outputs.Forget();
  EXPECT_FALSE(outputs.known());
  EXPECT_TRUE(outputs.Outputs(7));
  // Nothing of the old device's pages is left over.
  EXPECT_TRUE(Learn(outputs, Reply(1, 0, 0, {{0x80, 0, 3}})));
  EXPECT_EQ(outputs.PortAddresses(), (Addresses{3}));
}

}  // namespace
