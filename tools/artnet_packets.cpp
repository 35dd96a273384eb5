#include "tools/artnet_packets.h"

#include <cstring>

namespace {

constexpr std::size_t kChannelsOffset = kDmxHeaderSize;  // ArtDmx's first DMX channel.

void PutText(std::uint8_t* field, std::size_t field_size, const std::string& text) {
  // Art-Net's texts end with a zero inside their field.
  std::memcpy(field, text.data(), text.size() < field_size ? text.size() : field_size - 1);
}

std::uint8_t PatternByte(std::uint64_t number, std::size_t index) {
  return static_cast<std::uint8_t>(((number * 0x9E3779B1u) >> 7) + index * 13);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void WriteArtNetHeader(std::uint16_t opcode, std::uint8_t* out) {
  std::memcpy(out, kArtNetId, sizeof kArtNetId);
  out[kArtNetOpCodeOffset] = static_cast<std::uint8_t>(opcode & 0xFF);
  out[kArtNetOpCodeOffset + 1] = static_cast<std::uint8_t>(opcode >> 8);
}

std::vector<std::uint8_t> BuildPollReplyFrame(const PollReplyNode& node) {
  std::vector<std::uint8_t> frame(kPollReplyFrameSize, 0);
  std::uint8_t* reply = frame.data();
  WriteArtNetHeader(kOpPollReply, reply);
  std::memcpy(reply + kPollReplyAddressOffset, node.address, 4);
  reply[kPollReplyPortOffset] = kArtNetPort & 0xFF;  // Low byte first.
  reply[kPollReplyPortOffset + 1] = kArtNetPort >> 8;
  reply[16] = 0;     // VersInfoH: firmware 1
  reply[17] = 1;     // VersInfoL
  reply[kPollReplyNetSwitchOffset] = static_cast<std::uint8_t>(node.port_address >> 8 & 0x7F);
  reply[kPollReplySubSwitchOffset] = static_cast<std::uint8_t>(node.port_address >> 4 & 0x0F);
  reply[20] = 0x00;  // OemHi: OemUnknown (0x00FF)
  reply[21] = 0xFF;  // Oem
  reply[22] = 0;     // Ubea version: no UBEA
  reply[23] = 0xD0;  // Status1: indicators normal, addresses set from the front panel
  reply[24] = 0xF0;  // EstaManLo: 0x7FF0, reserved for prototypes
  reply[25] = 0x7F;  // EstaManHi
  PutText(reply + kPollReplyShortNameOffset, 18, node.short_name);
  PutText(reply + kPollReplyLongNameOffset, 64, node.long_name);
  PutText(reply + kPollReplyNodeReportOffset, 64, node.node_report);
  reply[kPollReplyNumPortsOffset + 1] = 1;  // One port in each reply,
  reply[kPollReplyPortTypesOffset] = kPortTypeOutput;  // which outputs DMX512 from Art-Net.
  // GoodInput[4] at 178, GoodOutputA[4] at 182: no data yet.
  // SwIn[4] at 186: no inputs.
  reply[kPollReplySwOutOffset] = static_cast<std::uint8_t>(node.port_address & 0x0F);
  // AcnPriority 194, SwMacro 195, SwRemote 196, Spare 197-199: zero.
  reply[200] = 0x00;  // Style: StNode
  // MAC[6] at 201: unknown, zero.
  std::memcpy(reply + kPollReplyBindIpOffset, node.address, 4);  // This node is its own root.
  reply[kPollReplyBindIndexOffset] = node.bind_index;
  reply[kPollReplyStatus2Offset] = 0x08;  // 15-bit Port-Addresses.
  // GoodOutputB[4] 213, Status3 217, DefaultRespUID[6] 218, User 224,
  // RefreshRate 226 and the filler up to 239: zero.
  reply[kPollReplySize] = '\r';
  reply[kPollReplySize + 1] = '\n';
  return frame;
}

void BuildNumberedArtDmx(std::uint64_t number, std::uint8_t* out) {
  WriteArtNetHeader(kOpDmx, out);
  out[10] = 0;  // Protocol version 14.
  out[11] = 14;
  out[12] = 0;  // Art-Net's own sequence numbers off.
  out[13] = 0;  // Physical port.
  out[14] = 0;  // Universe 0.
  out[15] = 0;
  out[16] = 0x02;  // 512 channels, high byte first.
  out[17] = 0x00;
  for (int i = 0; i < 8; ++i) out[kChannelsOffset + i] = static_cast<std::uint8_t>(number >> (8 * i));
  for (std::size_t i = kChannelsOffset + 8; i < kNumberedArtDmxSize; ++i) out[i] = PatternByte(number, i);
}

bool ParseNumberedArtDmx(const std::uint8_t* packet, std::uint64_t* number) {
  if (std::memcmp(packet, kArtNetId, sizeof kArtNetId) != 0) return false;
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | packet[kChannelsOffset + i];
  std::uint8_t expected[kNumberedArtDmxSize];
  BuildNumberedArtDmx(value, expected);
  if (std::memcmp(packet, expected, kNumberedArtDmxSize) != 0) return false;
  *number = value;
  return true;
}

void NumberedArtDmxCheck::Feed(const std::uint8_t* bytes, std::size_t count) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  std::size_t at = 0;
  while (pending_.size() - at >= kNumberedArtDmxSize) {
    std::uint64_t number = 0;
    if (ParseNumberedArtDmx(&pending_[at], &number)) {
      if (number >= next_) {
        lost_ += number - next_;
        next_ = number + 1;
        ++packets_;
      } else {
        ++out_of_order_;
      }
      at += kNumberedArtDmxSize;
      continue;
    }
    // Not a whole packet here: skip to the next ID and count what was skipped.
    std::size_t next_id = at + 1;
    while (next_id + sizeof kArtNetId <= pending_.size() &&
           std::memcmp(&pending_[next_id], kArtNetId, sizeof kArtNetId) != 0) {
      ++next_id;
    }
    if (next_id + sizeof kArtNetId > pending_.size()) {
      next_id = pending_.size() - (sizeof kArtNetId - 1);  // May be an ID's start.
    }
    stray_bytes_ += next_id - at;
    at = next_id;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

namespace {

// Where a traced packet keeps its fields: the source, the sequence number
// (four bytes, low first) and, in ArtDmx, the send time (eight). Each sits in
// a field that a node reads as "change nothing" or ignores: ArtPoll's
// target Port-Addresses (targeted mode off), ArtAddress's port name after
// its terminating zero, ArtTodRequest's spare bytes.
struct TracedLayout {
  std::uint16_t opcode;
  std::size_t size;
  std::size_t source;
  std::size_t sequence;
  std::size_t sent;  // 0: none.
};
constexpr TracedLayout kTracedLayouts[] = {
    {kOpDmx, kNumberedArtDmxSize, kChannelsOffset, kChannelsOffset + 1, kChannelsOffset + 5},
    {kOpPoll, 22, 18, 14, 0},
    {kOpAddress, 107, 15, 16, 0},
    {kOpTodRequest, 56, 14, 15, 0},
};

const TracedLayout* FindLayout(std::uint16_t opcode) {
  for (const TracedLayout& layout : kTracedLayouts) {
    if (layout.opcode == opcode) return &layout;
  }
  return nullptr;
}

void PutLittle(std::uint8_t* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Every bit of `seed` changes every byte of the pattern made from it.
std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t GetLittle(const std::uint8_t* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | in[i];
  return value;
}

}  // namespace

std::size_t TracedPacketSize(std::uint16_t opcode) {
  const TracedLayout* layout = FindLayout(opcode);
  return layout == nullptr ? 0 : layout->size;
}

std::size_t BuildTracedPacket(const TracedPacket& packet, std::uint8_t* out) {
  const TracedLayout* layout = FindLayout(packet.opcode);
  if (layout == nullptr) return 0;
  // Every byte the fields leave is a pattern of all of them, so that a byte
  // changed anywhere, or a packet run into its neighbour, shows.
  std::uint64_t state = Mix(Mix(static_cast<std::uint64_t>(packet.sent_ns)) ^
                            std::uint64_t{packet.sequence} << 32 ^ std::uint64_t{packet.source} << 24 ^
                            std::uint64_t{packet.universe} << 8 ^ packet.opcode);
  for (std::size_t i = 0; i < layout->size; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    out[i] = static_cast<std::uint8_t>(state >> 56);
  }
  WriteArtNetHeader(packet.opcode, out);
  out[10] = 0;  // Protocol version 14.
  out[11] = 14;
  switch (packet.opcode) {
    case kOpDmx:
      out[12] = 0;  // Art-Net's own sequence numbers off.
      out[13] = packet.source;  // Physical: the input it came from.
      out[14] = static_cast<std::uint8_t>(packet.universe & 0xFF);  // SubUni
      out[15] = static_cast<std::uint8_t>(packet.universe >> 8 & 0x7F);  // Net
      out[16] = 0x02;  // 512 channels, high byte first.
      out[17] = 0x00;
      PutLittle(out + layout->sent, static_cast<std::uint64_t>(packet.sent_ns), 8);
      break;
    case kOpPoll:
      out[12] = 0;     // Flags: no targeted mode, no diagnostics.
      out[13] = 0x10;  // DiagPriority: low.
      break;
    case kOpAddress:
      out[12] = 0x7F;  // NetSwitch: no change.
      out[13] = 0;     // BindIndex: the root device.
      out[14] = 0;     // PortName and LongName empty: no change.
      out[32] = 0;
      std::memset(out + 96, 0x7F, 9);  // SwIn, SwOut, SubSwitch: no change.
      out[105] = 0xFF;  // AcnPriority: no change.
      out[106] = 0;     // Command: AcNone.
      break;
    case kOpTodRequest:
      out[12] = 0;  // Filler.
      out[13] = 0;
      out[21] = 0;  // Net 0.
      out[22] = 0;  // Command: TodFull.
      out[23] = 1;  // AdCount: one address, universe 0, follows.
      out[24] = 0;
      break;
  }
  out[layout->source] = packet.source;
  PutLittle(out + layout->sequence, packet.sequence, 4);
  return layout->size;
}

bool ParseTracedPacket(const std::uint8_t* data, std::size_t size, TracedPacket* packet) {
  if (size < 18 || std::memcmp(data, kArtNetId, sizeof kArtNetId) != 0) return false;
  TracedPacket found;
  found.opcode = static_cast<std::uint16_t>(data[kArtNetOpCodeOffset] | data[kArtNetOpCodeOffset + 1] << 8);
  const TracedLayout* layout = FindLayout(found.opcode);
  if (layout == nullptr || size != layout->size) return false;
  found.source = data[layout->source];
  found.sequence = static_cast<std::uint32_t>(GetLittle(data + layout->sequence, 4));
  if (found.opcode == kOpDmx) {
    found.universe = static_cast<std::uint16_t>(data[14] | (data[15] & 0x7F) << 8);
    found.sent_ns = static_cast<std::int64_t>(GetLittle(data + layout->sent, 8));
  }
  std::uint8_t expected[kMaxTracedPacketSize];
  BuildTracedPacket(found, expected);
  if (std::memcmp(data, expected, size) != 0) return false;
  *packet = found;
  return true;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0xF];
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == ':') continue;
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}
