// Any bytes in any chunking through the FrameAssembler. The input is split
// into reads whose sizes come from the input itself (0 to 4096 bytes, so also
// reads larger than the whole buffer), and every frame is checked against the
// stream of bytes fed so far.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "serial/frame_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FrameAssembler assembler;
  std::vector<std::uint8_t> stream;  // Every byte fed, in order.
  std::size_t collection_start = 0;  // Where the bytes being collected began.
  while (input.remaining_bytes() > 0) {
    const auto read_size = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    // Each read in a buffer of its own size, so ASan sees a read past it.
    const std::vector<std::uint8_t> read = input.ConsumeBytes<std::uint8_t>(read_size);
    const std::size_t collected = stream.size() - collection_start;
    stream.insert(stream.end(), read.begin(), read.end());
    const Frame frame = assembler.Append(read.data(), read.size());

    if (read.empty()) {
      FUZZ_CHECK(frame.size == 0 && assembler.Collected() == collected);
      continue;
    }
    // A collection that would reach 2048 bytes is dropped with the read.
    if (collected + read.size() >= FrameAssembler::kCapacity) {
      FUZZ_CHECK(frame.size == 0 && assembler.Collected() == 0);
      collection_start = stream.size();
      continue;
    }
    const std::size_t end = stream.size();
    const bool ends_frame =
        end - collection_start >= 2 && stream[end - 2] == '\r' && stream[end - 1] == '\n';
    if (!ends_frame) {
      FUZZ_CHECK(frame.size == 0 && assembler.Collected() == collected + read.size());
      continue;
    }
    // The frame is the whole collection: a contiguous run of the stream that
    // ends with this read and with CR LF, at most 2047 bytes, nothing lost.
    FUZZ_CHECK(frame.size == end - collection_start);
    FUZZ_CHECK(frame.size >= 2 && frame.size <= FrameAssembler::kCapacity - 1);
    FUZZ_CHECK(frame.data[frame.size - 2] == '\r' && frame.data[frame.size - 1] == '\n');
    FUZZ_CHECK(std::memcmp(frame.data, stream.data() + collection_start, frame.size) == 0);
    FUZZ_CHECK(assembler.Collected() == 0);
    collection_start = end;
  }
  return 0;
}
