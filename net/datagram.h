// Builds the IPv4/UDP datagrams that carry the device's frames to the host's
// own Art-Net port. Pure: no sockets here (inject_socket.h sends them).
#ifndef ARTNET_NET_DATAGRAM_H_
#define ARTNET_NET_DATAGRAM_H_

#include <cstddef>
#include <cstdint>

constexpr std::size_t kDatagramHeaderSize = 28;  // IPv4 (20) and UDP (8).

// The longest frame the device reader can hand over (frame_assembler.h), and
// so the largest payload a datagram carries.
constexpr std::size_t kMaxDatagramPayload = 2047;
constexpr std::size_t kMaxDatagramSize = kDatagramHeaderSize + kMaxDatagramPayload;

// The Internet checksum (RFC 1071) of `size` bytes read as big-endian 16-bit
// words, a trailing odd byte padded with zero, continuing from `sum`. Returns
// the folded, complemented result in host order; store it big-endian.
std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t size,
                               std::uint32_t sum = 0);

// Writes into `out` (at least kMaxDatagramSize bytes) an IPv4 header (no
// options, TTL 128, identification and flags zero), a UDP header from port
// 6454 to port 6454 and the payload, with both checksums; a UDP checksum of
// zero goes out as 0xFFFF. `source` and `destination` are IPv4 addresses in
// network byte order, as held in a sockaddr_in. Returns the datagram's size,
// `length` + 28, or 0 when `length` is above kMaxDatagramPayload (nothing is
// written then).
std::size_t BuildLocalDatagram(std::uint32_t source, std::uint32_t destination,
                               const std::uint8_t* payload, std::size_t length,
                               std::uint8_t* out);

// Writes into `out` (at least `mtu` bytes) the fragment of a datagram built
// by BuildLocalDatagram (`datagram`, `size` bytes) that starts `offset` bytes
// into its IPv4 payload (the UDP header and the frame), for a link that
// carries at most `mtu` bytes a packet (RFC 791): the datagram's header with
// `identification`, the offset in 8-byte units, More Fragments on all but
// the last, its own total length and header checksum; then as much of the
// payload as fits, in whole 8-byte units except in the last fragment. The
// UDP header, with the checksum of the whole datagram, lies in the first.
// Returns the fragment's size and sets `next` to the offset of the next
// fragment (`size` - 20 after the last); returns 0 when `mtu` holds no 8
// payload bytes or `offset` is not in the payload. Pure; any thread.
std::size_t BuildFragment(const std::uint8_t* datagram, std::size_t size, std::size_t offset,
                          std::size_t mtu, std::uint16_t identification, std::uint8_t* out,
                          std::size_t* next);

#endif  // ARTNET_NET_DATAGRAM_H_
