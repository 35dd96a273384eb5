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

// The IPv4 header's flags and fragment offset (bytes 6 and 7, big-endian),
// and the bits of it that make a packet a fragment: More Fragments and the
// 13-bit offset. Don't Fragment and the reserved bit do not.
constexpr std::size_t kFragmentFieldOffset = 6;
constexpr std::uint16_t kFragmentMask = 0x3FFF;

// Decides for the first `count` bytes of `packet`, an IPv4 packet header
// first. Keeps UDP to port 6454 whose payload is 10 to 530 bytes, starts with
// the Art-Net ID and is neither an OpPollReply nor an OpSync (by the OpCode's
// high byte). A fragment (More Fragments set, or a fragment offset other than
// 0) is dropped: it is a piece of a datagram, not one. The header length
// comes from the low nibble of byte 0; the IPv4 and UDP length fields are not
// trusted, the payload runs to the end of the captured bytes. Never reads at
// or past `count`. Pure; any thread.
std::optional<ArtNetPayload> MatchArtNet(const std::uint8_t* packet, std::size_t count);

#endif  // ARTNET_NET_ARTNET_FILTER_H_
