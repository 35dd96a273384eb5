#include "tools/artnet_packets.h"

#include <cstring>

namespace {

constexpr std::size_t kChannelsOffset = 18;  // ArtDmx's first DMX channel.

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
  std::memcpy(reply + 10, node.address, 4);  // IP address
  reply[14] = kArtNetPort & 0xFF;             // Port, low byte first
  reply[15] = kArtNetPort >> 8;
  reply[16] = 0;     // VersInfoH: firmware 1
  reply[17] = 1;     // VersInfoL
  reply[18] = static_cast<std::uint8_t>(node.port_address >> 8 & 0x7F);  // NetSwitch
  reply[19] = static_cast<std::uint8_t>(node.port_address >> 4 & 0x0F);  // SubSwitch
  reply[20] = 0x00;  // OemHi: OemUnknown (0x00FF)
  reply[21] = 0xFF;  // Oem
  reply[22] = 0;     // Ubea version: no UBEA
  reply[23] = 0xD0;  // Status1: indicators normal, addresses set from the front panel
  reply[24] = 0xF0;  // EstaManLo: 0x7FF0, reserved for prototypes
  reply[25] = 0x7F;  // EstaManHi
  PutText(reply + 26, 18, node.short_name);
  PutText(reply + 44, 64, node.long_name);
  PutText(reply + 108, 64, node.node_report);
  reply[172] = 0;     // NumPortsHi
  reply[173] = 1;     // NumPortsLo: one port in each reply
  reply[174] = 0x80;  // PortTypes[0]: outputs DMX512 from Art-Net
  // GoodInput[4] at 178, GoodOutputA[4] at 182: no data yet.
  // SwIn[4] at 186: no inputs.
  reply[190] = static_cast<std::uint8_t>(node.port_address & 0x0F);  // SwOut[0]: the universe
  // AcnPriority 194, SwMacro 195, SwRemote 196, Spare 197-199: zero.
  reply[200] = 0x00;  // Style: StNode
  // MAC[6] at 201: unknown, zero.
  std::memcpy(reply + 207, node.address, 4);  // BindIp: this node is its own root
  reply[211] = node.bind_index;                // BindIndex
  reply[212] = 0x08;                           // Status2: 15-bit Port-Addresses
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
