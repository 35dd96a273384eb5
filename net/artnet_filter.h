// Picks the Art-Net packets the device is to see out of captured IPv4 traffic.
#ifndef ARTNET_NET_ARTNET_FILTER_H_
#define ARTNET_NET_ARTNET_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <optional>

// Where the Art-Net packet sits in a captured IPv4 packet.
struct ArtNetPayload {
  std::size_t offset;  // Of the "Art-Net" ID, from the start of the packet.
  std::size_t length;  // From the ID to the end of the captured bytes.
};

// Decides for the first `count` bytes of `packet`, an IPv4 packet header
// first. Keeps UDP to port 6454 whose payload is 10 to 530 bytes, starts with
// the Art-Net ID and is neither an OpPollReply nor an OpSync (by the OpCode's
// high byte). The header length comes from the low nibble of byte 0; the IPv4
// and UDP length fields are not trusted, the payload runs to the end of the
// captured bytes. Never reads at or past `count`. Pure; any thread.
std::optional<ArtNetPayload> MatchArtNet(const std::uint8_t* packet, std::size_t count);

#endif  // ARTNET_NET_ARTNET_FILTER_H_
