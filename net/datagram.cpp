#include "net/datagram.h"

#include <cstring>

#include "artnet/artnet.h"

namespace {

constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::uint8_t kTimeToLive = 128;

void PutBigEndian16(std::uint8_t* at, unsigned value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

std::uint32_t SumWords(const std::uint8_t* data, std::size_t size, std::uint32_t sum) {
  for (std::size_t i = 0; i + 1 < size; i += 2) sum += (static_cast<std::uint32_t>(data[i]) << 8) | data[i + 1];
  if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1]) << 8;
  return sum;
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t size, std::uint32_t sum) {
  sum = SumWords(data, size, sum);
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<std::uint16_t>(~sum);
}

std::size_t BuildLocalDatagram(std::uint32_t source, std::uint32_t destination,
                               const std::uint8_t* payload, std::size_t length,
                               std::uint8_t* out) {
  if (length > kMaxDatagramPayload) return 0;
  const std::size_t size = kDatagramHeaderSize + length;
  std::memset(out, 0, kDatagramHeaderSize);

  std::uint8_t* ip = out;
  ip[0] = 0x45;  // IPv4, five 32-bit words of header.
  PutBigEndian16(ip + 2, static_cast<unsigned>(size));
  ip[8] = kTimeToLive;
  ip[9] = kProtocolUdp;
  // The addresses are already in network byte order: copy their bytes as they lie.
  std::memcpy(ip + 12, &source, 4);
  std::memcpy(ip + 16, &destination, 4);
  PutBigEndian16(ip + 10, InternetChecksum(ip, 20));

  std::uint8_t* udp = out + 20;
  const unsigned udp_length = static_cast<unsigned>(length + 8);
  PutBigEndian16(udp + 0, kArtNetPort);
  PutBigEndian16(udp + 2, kArtNetPort);
  PutBigEndian16(udp + 4, udp_length);
  if (length != 0) std::memcpy(out + kDatagramHeaderSize, payload, length);

  // The pseudo-header: source, destination, zero, protocol, UDP length.
  std::uint8_t pseudo[12] = {};
  std::memcpy(pseudo, ip + 12, 8);
  pseudo[9] = kProtocolUdp;
  PutBigEndian16(pseudo + 10, udp_length);
  // The pseudo-header is 12 bytes, an even count, so summing it first leaves
  // the word alignment of the UDP header and payload as it is.
  std::uint16_t checksum = InternetChecksum(udp, udp_length, SumWords(pseudo, sizeof pseudo, 0));
  if (checksum == 0) checksum = 0xFFFF;  // Zero would mean "no checksum".
  PutBigEndian16(udp + 6, checksum);
  return size;
}

std::size_t BuildFragment(const std::uint8_t* datagram, std::size_t size, std::size_t offset,
                          std::size_t mtu, std::uint16_t identification, std::uint8_t* out,
                          std::size_t* next) {
  constexpr std::size_t kHeader = 20;
  constexpr unsigned kMoreFragments = 0x2000;
  if (size <= kHeader || mtu < kHeader + 8 || offset >= size - kHeader || offset % 8 != 0) return 0;
  const std::size_t payload = size - kHeader;
  std::size_t length = payload - offset;
  const bool last = length <= mtu - kHeader;
  if (!last) length = (mtu - kHeader) / 8 * 8;
  std::memcpy(out, datagram, kHeader);
  PutBigEndian16(out + 2, static_cast<unsigned>(kHeader + length));
  PutBigEndian16(out + 4, identification);
  PutBigEndian16(out + 6, static_cast<unsigned>(offset / 8) | (last ? 0 : kMoreFragments));
  out[10] = 0;
  out[11] = 0;
  PutBigEndian16(out + 10, InternetChecksum(out, kHeader));
  std::memcpy(out + kHeader, datagram + kHeader + offset, length);
  *next = offset + length;
  return kHeader + length;
}
