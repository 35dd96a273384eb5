// Any payload of any length through BuildLocalDatagram. The input gives the
// two addresses and the length (0 to 2100, so past the 2047-byte limit too),
// then the payload's bytes; a short input is padded with zeros. Each datagram
// is checked field by field, and both checksums are verified with a sum
// written here, not the one under test.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "net/datagram.h"

namespace {

unsigned BigEndian16(const std::uint8_t* at) { return (unsigned{at[0]} << 8) | at[1]; }

// The one's complement sum of `size` bytes, a trailing odd byte padded with
// zero, with the carries folded back in as it goes. Data that carries its own
// correct checksum sums to 0xFFFF.
std::uint32_t OnesComplementSum(const std::uint8_t* data, std::size_t size, std::uint32_t sum) {
  for (std::size_t i = 0; i < size; i += 2) {
    sum += (std::uint32_t{data[i]} << 8) | (i + 1 < size ? data[i + 1] : 0);
    if (sum > 0xFFFF) sum -= 0xFFFF;
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto source = input.ConsumeIntegral<std::uint32_t>();
  const auto destination = input.ConsumeIntegral<std::uint32_t>();
  const auto length = input.ConsumeIntegralInRange<std::size_t>(0, kMaxDatagramPayload + 53);
  std::vector<std::uint8_t> payload = input.ConsumeBytes<std::uint8_t>(length);
  payload.resize(length, 0);

  // Exactly the room the contract asks for, so ASan sees a write past it.
  std::vector<std::uint8_t> out(kMaxDatagramSize, 0xEE);
  const std::size_t built =
      BuildLocalDatagram(source, destination, payload.data(), payload.size(), out.data());
  if (length > kMaxDatagramPayload) {
    // Refused, and nothing written.
    FUZZ_CHECK(built == 0);
    for (std::uint8_t b : out) FUZZ_CHECK(b == 0xEE);
    return 0;
  }
  FUZZ_CHECK(built == length + kDatagramHeaderSize);
  const std::uint8_t* ip = out.data();
  const std::uint8_t* udp = ip + 20;
  FUZZ_CHECK(ip[0] == 0x45 && ip[1] == 0);
  FUZZ_CHECK(BigEndian16(ip + 2) == built);
  FUZZ_CHECK(BigEndian16(ip + 4) == 0 && BigEndian16(ip + 6) == 0);
  FUZZ_CHECK(ip[8] == 128 && ip[9] == 17);
  FUZZ_CHECK(std::memcmp(ip + 12, &source, 4) == 0 && std::memcmp(ip + 16, &destination, 4) == 0);
  FUZZ_CHECK(BigEndian16(udp + 0) == 6454 && BigEndian16(udp + 2) == 6454);
  FUZZ_CHECK(BigEndian16(udp + 4) == length + 8);
  FUZZ_CHECK(BigEndian16(udp + 6) != 0);  // Zero would say "no checksum".
  FUZZ_CHECK(length == 0 || std::memcmp(ip + kDatagramHeaderSize, payload.data(), length) == 0);

  FUZZ_CHECK(OnesComplementSum(ip, 20, 0) == 0xFFFF);
  std::uint8_t pseudo[12] = {};
  std::memcpy(pseudo, ip + 12, 8);
  pseudo[9] = 17;
  pseudo[10] = udp[4];
  pseudo[11] = udp[5];
  FUZZ_CHECK(OnesComplementSum(udp, length + 8, OnesComplementSum(pseudo, sizeof pseudo, 0)) == 0xFFFF);
  return 0;
}
