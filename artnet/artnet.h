// Art-Net's facts, as the bridge relies on them: the port, the ID, the
// OpCodes, where the fields of the packets the bridge reads lie, the probe it
// writes to a new device, and which universe a DMX packet belongs to.
//
// Every room of the bridge takes them from here: the network side picks
// packets by them, the device side finds frames and orders its wire by them,
// the helper programs build their packets over them. Pure: no operating
// system, any thread.
#ifndef ARTNET_ARTNET_ARTNET_H_
#define ARTNET_ARTNET_ARTNET_H_

#include <cstddef>
#include <cstdint>
#include <optional>

// Art-Net's UDP port, for both the source and the destination of its datagrams.
constexpr std::uint16_t kArtNetPort = 6454;

// Every Art-Net packet starts with this 8-byte ID ("Art-Net" and a zero byte),
// followed by the 16-bit OpCode, low byte first.
constexpr std::uint8_t kArtNetId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
constexpr std::size_t kArtNetOpCodeOffset = 8;
// The ID and the OpCode: the shortest packet that says what it is.
constexpr std::size_t kArtNetHeaderSize = 10;

// The smallest and largest Art-Net packets the bridge carries: the ID and
// the OpCode alone, and an ArtDmx of 512 channels.
constexpr std::size_t kMinArtNetPacket = kArtNetHeaderSize;
constexpr std::size_t kMaxArtNetPacket = 530;

constexpr std::uint16_t kOpPoll = 0x2000;
constexpr std::uint16_t kOpPollReply = 0x2100;
constexpr std::uint16_t kOpDmx = 0x5000;
constexpr std::uint16_t kOpNzs = 0x5100;
constexpr std::uint16_t kOpSync = 0x5200;
constexpr std::uint16_t kOpAddress = 0x6000;
constexpr std::uint16_t kOpTodRequest = 0x8000;

// OpCode high bytes of the two packets never handed to the device: the
// device's own replies (OpPollReply, 0x2100) and OpSync (0x5200).
constexpr std::uint8_t kOpPollReplyHigh = kOpPollReply >> 8;
constexpr std::uint8_t kOpSyncHigh = kOpSync >> 8;

// ArtDmx and ArtNzs: ID, OpCode, ProtVer (2, high byte first), then these,
// and the data.
constexpr std::size_t kDmxSequenceOffset = 12;
constexpr std::size_t kDmxPhysicalOffset = 13;   // ArtDmx: the physical input port.
constexpr std::size_t kDmxStartCodeOffset = 13;  // ArtNzs: the start code.
constexpr std::size_t kDmxSubUniOffset = 14;     // Sub-Net and Universe nibbles.
constexpr std::size_t kDmxNetOffset = 15;
constexpr std::size_t kDmxLengthOffset = 16;  // High byte first.
constexpr std::size_t kDmxHeaderSize = 18;    // The data starts here.

// ArtPoll: ID, OpCode, ProtVer (2), Flags, DiagPriority; Art-Net 4 adds
// fields after them that older controllers leave out.
constexpr std::size_t kPollFlagsOffset = 12;
constexpr std::size_t kPollDiagPriorityOffset = 13;
constexpr std::size_t kMinPollSize = 14;

// ArtPollReply: the fields that say where a node is and which universes its
// ports carry. Multi-byte numbers are high byte first unless said.
constexpr std::size_t kPollReplyAddressOffset = 10;    // IPv4, 4 bytes, in order.
constexpr std::size_t kPollReplyPortOffset = 14;       // Low byte first.
constexpr std::size_t kPollReplyNetSwitchOffset = 18;  // Bits 14-8 of the Port-Address.
constexpr std::size_t kPollReplySubSwitchOffset = 19;  // Bits 7-4.
constexpr std::size_t kPollReplyShortNameOffset = 26;  // 18 bytes.
constexpr std::size_t kPollReplyLongNameOffset = 44;   // 64 bytes.
constexpr std::size_t kPollReplyNodeReportOffset = 108;  // 64 bytes.
constexpr std::size_t kPollReplyNumPortsOffset = 172;  // 2 bytes; only the low one counts.
constexpr std::size_t kPollReplyPortTypesOffset = 174;  // 4 bytes; bit 7: an output.
constexpr std::size_t kPollReplySwInOffset = 186;       // 4 bytes; low nibble: bits 3-0.
constexpr std::size_t kPollReplySwOutOffset = 190;      // 4 bytes; low nibble: bits 3-0.
constexpr std::size_t kPollReplyBindIpOffset = 207;     // 4 bytes.
constexpr std::size_t kPollReplyBindIndexOffset = 211;  // A node's page: 1 for its first.
constexpr std::size_t kPollReplyStatus2Offset = 212;
constexpr std::size_t kPollReplySize = 239;  // Art-Net 4's full reply.
constexpr std::uint8_t kPortTypeOutput = 0x80;
constexpr std::size_t kPortsPerPollReply = 4;

// The 14-byte ArtPoll written to the device once it is found: protocol
// version 14, flags 0x02 (send an ArtPollReply whenever the node's
// settings change), diagnostics priority 0x10.
constexpr std::uint8_t kArtPollProbe[kMinPollSize] = {'A', 'r', 't', '-', 'N', 'e', 't', 0,
                                                      0x00, 0x20,  // OpPoll, low byte first
                                                      0x00, 14,    // protocol version 14
                                                      0x02,        // flags
                                                      0x10};       // diagnostics priority

// True when the `size` bytes at `packet` start with the ID and an OpCode.
bool IsArtNet(const std::uint8_t* packet, std::size_t size);

// The OpCode of a packet IsArtNet accepts.
std::uint16_t ArtNetOpCode(const std::uint8_t* packet);

// Which data an ArtDmx or ArtNzs carries, and so which packets may stand in
// for each other: the OpCode, the start code (ArtNzs; ArtDmx's byte there
// is the physical input port, which says nothing about its data) and the
// universe's two bytes, SubUni and Net, as they lie.
struct UniverseKey {
  std::uint16_t opcode = 0;
  std::uint8_t start_code = 0;
  std::uint16_t universe = 0;  // SubUni | Net << 8.

  // The 15-bit Port-Address: Net's bit 7 is not part of it.
  std::uint16_t port_address() const { return universe & 0x7FFF; }
  // One number for the whole key, for maps and comparisons.
  std::uint64_t value() const {
    return std::uint64_t{opcode} << 24 | std::uint64_t{start_code} << 16 | universe;
  }
};

// The key of an ArtDmx or ArtNzs of at least its header's size; nothing for
// any other packet, or one too short to name its universe.
std::optional<UniverseKey> DmxUniverse(const std::uint8_t* packet, std::size_t size);

#endif  // ARTNET_ARTNET_ARTNET_H_
