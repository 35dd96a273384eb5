// Any bytes in any chunking through the FrameAssembler. The input is split
// into reads whose sizes come from the input itself (0 to 4096 bytes, so also
// reads larger than the whole buffer), and now and then the collection is
// thrown away between reads, as when the device's port changes. The frames
// and the count of discarded bytes must be those of a plain model of the
// rules, kept in a growing vector. Each frame must be a run of the stream fed
// so far that ends in CR LF, at most 2047 bytes, with no CR LF and Art-Net ID
// inside it, and no ID at all unless it starts with one, ending where a read
// ends or the next ID begins. Every byte fed is in a frame, discarded or
// still collected.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "artnet/artnet.h"
#include "fuzz/check.h"
#include "serial/frame_assembler.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool CrLfAt(const Bytes& bytes, std::size_t at) {
  return at + 2 <= bytes.size() && bytes[at] == '\r' && bytes[at + 1] == '\n';
}

bool IdAt(const Bytes& bytes, std::size_t at) {
  return at + sizeof kArtNetId <= bytes.size() &&
         std::memcmp(bytes.data() + at, kArtNetId, sizeof kArtNetId) == 0;
}

// The length of the longest end of `bytes` that is the start of an ID,
// shorter than the whole ID.
std::size_t IdStartAtEnd(const Bytes& bytes) {
  for (std::size_t k = sizeof kArtNetId - 1; k >= 1; --k) {
    if (bytes.size() >= k && std::memcmp(bytes.data() + bytes.size() - k, kArtNetId, k) == 0) return k;
  }
  return 0;
}

// The rules, one byte at a time, with no bound on the collection. Also
// gives where each frame ends in the stream, and counts what is discarded.
class Model {
 public:
  void Read(const Bytes& read, std::vector<Bytes>& frames, std::vector<std::size_t>& ends) {
    for (const std::uint8_t byte : read) {
      collection_.push_back(byte);
      ++fed_;
      const std::size_t size = collection_.size();
      if (size > 8 && IdAt(collection_, size - 8)) {
        const bool after_crlf = size >= 10 && CrLfAt(collection_, size - 10);
        // An ID that ends a frame, or that follows noise: the collection
        // does not start with the ID.
        if (after_crlf || !IdAt(collection_, 0)) {
          if (after_crlf && !discarding_) {
            frames.emplace_back(collection_.begin(), collection_.end() - 8);
            ends.push_back(fed_ - 8);
          } else {
            discarded_ += size - 8;
          }
          collection_.erase(collection_.begin(), collection_.end() - 8);
          discarding_ = false;
          continue;
        }
      }
      // The frame so far: less a CR LF and a part of the ID at the end.
      std::size_t frame = size;
      for (std::size_t k = 7; k >= 1; --k) {
        if (size >= k + 2 && CrLfAt(collection_, size - k - 2) &&
            std::memcmp(collection_.data() + size - k, kArtNetId, k) == 0) {
          frame = size - k;
          break;
        }
      }
      if (frame >= FrameAssembler::kCapacity) discarding_ = true;
    }
    if (read.empty()) return;
    if (discarding_) {
      // All but the start of an ID at the end.
      const std::size_t keep = IdStartAtEnd(collection_);
      discarded_ += collection_.size() - keep;
      collection_.erase(collection_.begin(), collection_.end() - keep);
      discarding_ = false;
    } else if (collection_.size() >= 2 && CrLfAt(collection_, collection_.size() - 2)) {
      frames.push_back(collection_);
      ends.push_back(fed_);
      collection_.clear();
    }
  }

  void DiscardCollection() {
    discarded_ += collection_.size();
    collection_.clear();
  }

  std::size_t collected() const { return collection_.size(); }
  std::uint64_t discarded() const { return discarded_; }

 private:
  Bytes collection_;
  std::size_t fed_ = 0;
  std::uint64_t discarded_ = 0;
  bool discarding_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FrameAssembler assembler;
  Model model;
  Bytes stream;                     // Every byte fed, in order.
  std::vector<std::size_t> read_ends;  // Where each read ended in the stream.
  std::size_t previous_end = 0;
  std::uint64_t framed = 0;  // Bytes that went out in frames.
  while (input.remaining_bytes() > 0) {
    // A new port, one time in sixteen.
    if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
      assembler.DiscardCollection();
      model.DiscardCollection();
      previous_end = stream.size();
    }
    const auto read_size = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    // Each read in a buffer of its own size, so ASan sees a read past it.
    const Bytes read = input.ConsumeBytes<std::uint8_t>(read_size);
    stream.insert(stream.end(), read.begin(), read.end());
    read_ends.push_back(stream.size());

    std::vector<Bytes> frames;
    assembler.Append(read.data(), read.size(), [&frames](const std::uint8_t* frame, std::size_t n) {
      frames.emplace_back(frame, frame + n);
    });
    std::vector<Bytes> expected;
    std::vector<std::size_t> frame_ends;
    model.Read(read, expected, frame_ends);
    FUZZ_CHECK(frames == expected);
    FUZZ_CHECK(assembler.Discarded() == model.discarded());
    FUZZ_CHECK(assembler.Collected() == model.collected());
    for (const Bytes& frame : frames) framed += frame.size();
    FUZZ_CHECK(framed + assembler.Discarded() + assembler.Collected() == stream.size());

    for (std::size_t i = 0; i < frames.size(); ++i) {
      const Bytes& frame = frames[i];
      FUZZ_CHECK(frame.size() >= 2 && frame.size() < FrameAssembler::kCapacity);
      FUZZ_CHECK(CrLfAt(frame, frame.size() - 2));
      for (std::size_t at = 0; at + 10 <= frame.size(); ++at) {
        FUZZ_CHECK(!(CrLfAt(frame, at) && IdAt(frame, at + 2)));
      }
      if (!IdAt(frame, 0)) {
        for (std::size_t at = 1; at + 8 <= frame.size(); ++at) FUZZ_CHECK(!IdAt(frame, at));
      }
      // A run of the stream after the previous frame, ending where a read
      // ends or the next ID begins.
      const std::size_t end = frame_ends[i];
      FUZZ_CHECK(end <= stream.size() && end - frame.size() >= previous_end);
      FUZZ_CHECK(std::memcmp(stream.data() + end - frame.size(), frame.data(), frame.size()) == 0);
      bool at_read_end = false;
      for (std::size_t read_end : read_ends) at_read_end = at_read_end || read_end == end;
      FUZZ_CHECK(at_read_end || IdAt(stream, end));
      previous_end = end;
    }
  }
  return 0;
}
