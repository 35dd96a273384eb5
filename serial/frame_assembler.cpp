#include "serial/frame_assembler.h"

#include <cstring>

#include "artnet/artnet.h"

namespace {

bool EndsWithCrLf(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[size - 2] == '\r' && bytes[size - 1] == '\n';
}

}  // namespace

std::size_t FrameAssembler::FrameSoFar() const {
  // A CR LF followed by the first k (1 to 7) bytes of the ID at the end: the
  // frame may end at that CR LF.
  for (std::size_t k = kIdSize - 1; k >= 1; --k) {
    if (fill_ >= k + 2 && EndsWithCrLf(buffer_, fill_ - k) &&
        std::memcmp(buffer_ + fill_ - k, kArtNetId, k) == 0) {
      return fill_ - k;
    }
  }
  return fill_;
}

void FrameAssembler::Append(const std::uint8_t* bytes, std::size_t count, const FrameSink& sink) {
  for (std::size_t i = 0; i < count; ++i) {
    if (fill_ == kBufferSize) {
      // Only while discarding: keep what may be the start of a CR LF and an
      // ID, to find the next frame.
      constexpr std::size_t kKeep = kIdSize + 1;
      std::memmove(buffer_, buffer_ + fill_ - kKeep, kKeep);
      fill_ = kKeep;
    }
    buffer_[fill_++] = bytes[i];
    // CR LF and a whole ID: the frame before the ID is complete.
    if (bytes[i] == kArtNetId[kIdSize - 1] && fill_ >= kIdSize + 2 &&
        EndsWithCrLf(buffer_, fill_ - kIdSize) &&
        std::memcmp(buffer_ + fill_ - kIdSize, kArtNetId, kIdSize) == 0) {
      if (!discarding_) sink(buffer_, fill_ - kIdSize);
      std::memmove(buffer_, buffer_ + fill_ - kIdSize, kIdSize);
      fill_ = kIdSize;
      discarding_ = false;
      continue;
    }
    if (!discarding_ && fill_ >= kCapacity && FrameSoFar() >= kCapacity) discarding_ = true;
  }
  if (count == 0) return;
  if (discarding_) {
    // The collection and the read it overflowed in are gone; the next read
    // starts afresh.
    fill_ = 0;
    discarding_ = false;
  } else if (EndsWithCrLf(buffer_, fill_)) {
    sink(buffer_, fill_);
    fill_ = 0;
  }
}
