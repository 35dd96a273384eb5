// Any bytes, any count up to 2048 (the capture buffer), through MatchArtNet.
// libFuzzer hands over a heap copy of exactly `size` bytes, so ASan stops any
// read at or past the count.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/check.h"
#include "artnet/artnet.h"
#include "net/artnet_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 2048) return -1;  // Larger than any receive; not worth keeping.
  const auto match = MatchArtNet(data, size);
  if (!match) return 0;
  // What is forwarded lies inside the captured bytes, runs to their end, and
  // is an Art-Net packet of the forwarded sizes that came in UDP to port 6454
  // and is neither an OpPollReply nor an OpSync.
  FUZZ_CHECK(match->offset <= size && match->length <= size - match->offset);
  FUZZ_CHECK(match->offset + match->length == size);
  FUZZ_CHECK(match->length >= kMinArtNetPacket && match->length <= kMaxArtNetPacket);
  FUZZ_CHECK(std::memcmp(data + match->offset, kArtNetId, sizeof kArtNetId) == 0);
  FUZZ_CHECK(match->offset == static_cast<std::size_t>(data[0] & 0x0F) * 4 + 8);
  FUZZ_CHECK(data[9] == 17);
  FUZZ_CHECK((data[6] & 0x3F) == 0 && data[7] == 0);  // No fragment.
  FUZZ_CHECK(data[match->offset - 6] == 0x19 && data[match->offset - 5] == 0x36);
  FUZZ_CHECK(data[match->offset + 9] != 0x21 && data[match->offset + 9] != 0x52);
  return 0;
}
