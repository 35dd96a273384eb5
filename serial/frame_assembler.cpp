#include "serial/frame_assembler.h"

#include <cstring>

#include "artnet/artnet.h"

namespace {

bool EndsWithCrLf(const std::uint8_t* bytes, std::size_t size) {
  return size >= 2 && bytes[size - 2] == '\r' && bytes[size - 1] == '\n';
}

}  // namespace

std::size_t FrameAssembler::PendingId() const {
  // The ID's first byte appears nowhere else in it, so at most one k fits.
  for (std::size_t k = kIdSize - 1; k >= 1; --k) {
    if (fill_ >= k && std::memcmp(buffer_ + fill_ - k, kArtNetId, k) == 0) return k;
  }
  return 0;
}

std::size_t FrameAssembler::FrameSoFar() const {
  // A CR LF followed by the start of an ID at the end: the frame may end at
  // that CR LF.
  const std::size_t k = PendingId();
  return k > 0 && EndsWithCrLf(buffer_, fill_ - k) ? fill_ - k : fill_;
}

void FrameAssembler::StartAtId(std::size_t before) {
  std::memmove(buffer_, buffer_ + before, kIdSize);
  fill_ = kIdSize;
  starts_with_id_ = true;
  discarding_ = false;
}

void FrameAssembler::Append(const std::uint8_t* bytes, std::size_t count, const FrameSink& sink) {
  for (std::size_t i = 0; i < count; ++i) {
    if (fill_ == kBufferSize) {
      // Only while discarding: keep what may be the start of a CR LF and an
      // ID, to find the next frame.
      constexpr std::size_t kKeep = kIdSize + 1;
      discarded_ += fill_ - kKeep;
      std::memmove(buffer_, buffer_ + fill_ - kKeep, kKeep);
      fill_ = kKeep;
    }
    buffer_[fill_++] = bytes[i];
    if (fill_ == kIdSize) starts_with_id_ = std::memcmp(buffer_, kArtNetId, kIdSize) == 0;
    if (bytes[i] == kArtNetId[kIdSize - 1] && fill_ > kIdSize &&
        std::memcmp(buffer_ + fill_ - kIdSize, kArtNetId, kIdSize) == 0) {
      const std::size_t before = fill_ - kIdSize;
      if (EndsWithCrLf(buffer_, before)) {
        // CR LF and a whole ID: the frame before the ID is complete.
        if (discarding_) {
          discarded_ += before;
        } else {
          sink(buffer_, before);
        }
        StartAtId(before);
        continue;
      }
      if (!starts_with_id_) {
        // The ID after bytes that are no Art-Net frame: they are noise.
        discarded_ += before;
        StartAtId(before);
        continue;
      }
    }
    if (!discarding_ && fill_ >= kCapacity && FrameSoFar() >= kCapacity) discarding_ = true;
  }
  if (count == 0) return;
  if (discarding_) {
    // The collection and the read it overflowed in are gone, but for the
    // start of an ID at the end, which the next read may complete.
    const std::size_t keep = PendingId();
    discarded_ += fill_ - keep;
    std::memmove(buffer_, buffer_ + fill_ - keep, keep);
    fill_ = keep;
    discarding_ = false;
  } else if (EndsWithCrLf(buffer_, fill_)) {
    sink(buffer_, fill_);
    fill_ = 0;
  }
}

void FrameAssembler::DiscardCollection() {
  discarded_ += fill_;
  fill_ = 0;
  discarding_ = false;
}
