#include "net/artnet_filter.h"

#include <cstring>

#include "artnet/artnet.h"

namespace {
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::size_t kUdpHeaderSize = 8;
}  // namespace

std::optional<ArtNetPayload> MatchArtNet(const std::uint8_t* packet, std::size_t count) {
  // The tests run in this order, each one making the next one's reads safe.
  if (count < 10) return std::nullopt;
  if (packet[9] != kProtocolUdp) return std::nullopt;
  // A fragment is not a datagram: the first one carries a UDP header and a
  // payload cut short, a later one bytes that may merely look like a UDP
  // header and the Art-Net ID. The host's own stack delivers neither.
  // Reassembly is not needed: an Art-Net packet is at most 530 bytes, 558
  // with its IPv4 and UDP headers, far below the MTU of any LAN (Ethernet's
  // is 1500), so it is never fragmented on a sane network. Fragments to port
  // 6454 come from a broken or hostile sender, and are dropped whole.
  const unsigned fragment =
      (static_cast<unsigned>(packet[kFragmentFieldOffset]) << 8) | packet[kFragmentFieldOffset + 1];
  if ((fragment & kFragmentMask) != 0) return std::nullopt;

  const std::size_t header_length = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  // A header longer than the packet gives a negative length, which the
  // unsigned comparison turns into a huge one and rejects.
  const std::int64_t payload_length = static_cast<std::int64_t>(count) -
                                      static_cast<std::int64_t>(header_length) -
                                      static_cast<std::int64_t>(kUdpHeaderSize);
  if (static_cast<std::uint64_t>(payload_length - kMinArtNetPacket) >
      kMaxArtNetPacket - kMinArtNetPacket) {
    return std::nullopt;
  }

  const std::uint8_t* udp = packet + header_length;
  const unsigned destination_port = (static_cast<unsigned>(udp[2]) << 8) | udp[3];
  if (destination_port != kArtNetPort) return std::nullopt;

  const std::uint8_t* payload = udp + kUdpHeaderSize;
  if (std::memcmp(payload, kArtNetId, sizeof kArtNetId) != 0) return std::nullopt;

  const std::uint8_t opcode_high = payload[kArtNetOpCodeOffset + 1];
  if (opcode_high == kOpPollReplyHigh || opcode_high == kOpSyncHigh) return std::nullopt;

  return ArtNetPayload{header_length + kUdpHeaderSize,
                       static_cast<std::size_t>(payload_length)};
}
