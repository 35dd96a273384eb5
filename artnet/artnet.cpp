#include "artnet/artnet.h"

#include <cstring>

bool IsArtNet(const std::uint8_t* packet, std::size_t size) {
  return size >= kArtNetHeaderSize && std::memcmp(packet, kArtNetId, sizeof kArtNetId) == 0;
}

std::uint16_t ArtNetOpCode(const std::uint8_t* packet) {
  return static_cast<std::uint16_t>(packet[kArtNetOpCodeOffset] |
                                    packet[kArtNetOpCodeOffset + 1] << 8);
}

std::optional<UniverseKey> DmxUniverse(const std::uint8_t* packet, std::size_t size) {
  if (size < kDmxHeaderSize || !IsArtNet(packet, size)) return std::nullopt;
  const std::uint16_t opcode = ArtNetOpCode(packet);
  if (opcode != kOpDmx && opcode != kOpNzs) return std::nullopt;
  UniverseKey key;
  key.opcode = opcode;
  key.start_code = opcode == kOpNzs ? packet[kDmxStartCodeOffset] : 0;
  key.universe = static_cast<std::uint16_t>(packet[kDmxSubUniOffset] | packet[kDmxNetOffset] << 8);
  return key;
}
