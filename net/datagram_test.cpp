#include "net/datagram.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};  // Network byte order, as in sin_addr.
  std::uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

// A checksum over data that includes its own correct checksum sums to 0xFFFF,
// so the complement is zero.
bool ChecksumsVerify(const std::uint8_t* datagram, std::size_t size) {
  if (InternetChecksum(datagram, 20) != 0) return false;
  std::vector<std::uint8_t> pseudo(datagram + 12, datagram + 20);
  pseudo.push_back(0);
  pseudo.push_back(17);
  pseudo.push_back(datagram[24]);
  pseudo.push_back(datagram[25]);
  pseudo.insert(pseudo.end(), datagram + 20, datagram + size);
  return InternetChecksum(pseudo.data(), pseudo.size()) == 0;
}

TEST(BuildLocalDatagram, OkFrameFromAndTo192_168_1_10) {
  const std::uint8_t frame[] = {0x4F, 0x4B, 0x0D, 0x0A};
  const std::uint32_t host = Address(192, 168, 1, 10);
  std::array<std::uint8_t, kMaxDatagramSize> out{};
  ASSERT_EQ(BuildLocalDatagram(host, host, frame, sizeof frame, out.data()), 32u);
  const std::uint8_t expected[32] = {
      0x45, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x80, 0x11, 0xb7, 0x68, 0xc0, 0xa8, 0x01, 0x0a,
      0xc0, 0xa8, 0x01, 0x0a, 0x19, 0x36, 0x19, 0x36, 0x00, 0x0c, 0xed, 0xaf, 0x4f, 0x4b, 0x0d, 0x0a};
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 32),
            std::vector<std::uint8_t>(expected, expected + 32));
}

// Lengths around 996 bytes (what a 1024-byte datagram holds), odd and even,
// up to the longest frame: every byte of the payload arrives and both
// checksums hold over all of it.
TEST(BuildLocalDatagram, WholeFramesUpToTheLongest) {
  const std::uint32_t source = Address(10, 0, 0, 1);
  const std::uint32_t destination = Address(10, 200, 3, 77);
  for (std::size_t length : {0u, 1u, 2u, 239u, 995u, 996u, 997u, 1500u, 2046u, 2047u}) {
    std::vector<std::uint8_t> payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    // Exactly the size needed, so a write past the datagram shows in a sanitizer.
    std::vector<std::uint8_t> out(kMaxDatagramSize);
    const std::size_t size = BuildLocalDatagram(source, destination, payload.data(), length, out.data());
    ASSERT_EQ(size, length + 28) << length;
    EXPECT_EQ((out[2] << 8) | out[3], static_cast<int>(length + 28));
    EXPECT_EQ((out[24] << 8) | out[25], static_cast<int>(length + 8));
    // An empty vector's data() may be null, which memcmp must not be given.
    EXPECT_TRUE(length == 0 || std::memcmp(out.data() + 28, payload.data(), length) == 0) << length;
    EXPECT_TRUE(ChecksumsVerify(out.data(), size)) << length;
    EXPECT_EQ(std::memcmp(out.data() + 12, &source, 4), 0);
    EXPECT_EQ(std::memcmp(out.data() + 16, &destination, 4), 0);
  }
}

TEST(BuildLocalDatagram, RefusesFramesLongerThanTheReaderMakes) {
  std::vector<std::uint8_t> payload(2048, 0x11);
  std::vector<std::uint8_t> out(kMaxDatagramSize, 0xEE);
  EXPECT_EQ(BuildLocalDatagram(1, 1, payload.data(), payload.size(), out.data()), 0u);
  EXPECT_EQ(out[0], 0xEE);
}

// The trailing odd byte is the high half of a zero-padded word: a checksum
// that padded on the wrong side, or dropped it, changes with its value.
TEST(InternetChecksum, OddLengthAndZeroResult) {
  const std::uint8_t odd[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(InternetChecksum(odd, 3), static_cast<std::uint16_t>(~(0x1234 + 0x5600)));
  const std::uint8_t carry[] = {0xFF, 0xFF, 0x00, 0x01};  // Sum 0x10000 folds to 0x0001.
  EXPECT_EQ(InternetChecksum(carry, 4), 0xFFFE);
  // A UDP checksum that comes out as zero is sent as 0xFFFF: find a payload
  // for which it does, by choosing its last word.
  std::vector<std::uint8_t> payload(4, 0);
  std::array<std::uint8_t, kMaxDatagramSize> out{};
  BuildLocalDatagram(0, 0, payload.data(), 4, out.data());
  const unsigned checksum = (out[26] << 8) | out[27];
  const unsigned want_zero = static_cast<std::uint16_t>(~checksum);
  payload[2] = static_cast<std::uint8_t>(~want_zero >> 8);
  payload[3] = static_cast<std::uint8_t>(~want_zero);
  BuildLocalDatagram(0, 0, payload.data(), 4, out.data());
  EXPECT_EQ((out[26] << 8) | out[27], 0xFFFF);
}

// The longest frame cut for an Ethernet link and for the smallest one IPv4
// allows: every fragment fits, carries the datagram's header but for its own
// length, offset, flags and checksum, and the pieces put back together are
// the datagram's payload, UDP header and checksum first.
TEST(BuildFragment, PiecesThatFitTheLinkAndMakeTheDatagramAgain) {
  std::vector<std::uint8_t> frame(kMaxDatagramPayload);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size =
      BuildLocalDatagram(Address(2, 0, 0, 1), Address(2, 0, 0, 50), frame.data(), frame.size(), datagram);
  for (const std::size_t mtu : {1500u, 576u}) {
    std::vector<std::uint8_t> joined;
    std::size_t offset = 0;
    int count = 0;
    while (offset + 20 < size) {
      std::uint8_t fragment[1500];
      std::size_t next = 0;
      const std::size_t length = BuildFragment(datagram, size, offset, mtu, 0xBEEF, fragment, &next);
      ASSERT_GT(length, 20u) << mtu;
      ASSERT_LE(length, mtu);
      ++count;
      const bool last = next + 20 == size;
      EXPECT_EQ((fragment[2] << 8 | fragment[3]), static_cast<int>(length));
      EXPECT_EQ((fragment[4] << 8 | fragment[5]), 0xBEEF);
      EXPECT_EQ((fragment[6] << 8 | fragment[7]), static_cast<int>(offset / 8) | (last ? 0 : 0x2000));
      EXPECT_EQ(InternetChecksum(fragment, 20), 0) << "header checksum, fragment " << count;
      EXPECT_EQ(std::memcmp(fragment + 8, datagram + 8, 2), 0) << "TTL and protocol";
      EXPECT_EQ(std::memcmp(fragment + 12, datagram + 12, 8), 0) << "addresses";
      if (!last) {
        EXPECT_EQ((length - 20) % 8, 0u);
      }
      joined.insert(joined.end(), fragment + 20, fragment + length);
      offset = next;
    }
    EXPECT_EQ(count, mtu == 1500 ? 2 : 4);
    ASSERT_EQ(joined.size(), size - 20);
    EXPECT_EQ(std::memcmp(joined.data(), datagram + 20, joined.size()), 0);
  }
  std::uint8_t fragment[1500];
  std::size_t next = 0;
  EXPECT_EQ(BuildFragment(datagram, size, 0, 27, 1, fragment, &next), 0u) << "no room for 8 bytes";
  EXPECT_EQ(BuildFragment(datagram, size, 4, 1500, 1, fragment, &next), 0u) << "not in 8-byte units";
  EXPECT_EQ(BuildFragment(datagram, size, size - 20, 1500, 1, fragment, &next), 0u) << "past the end";
}

}  // namespace
