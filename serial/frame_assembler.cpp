#include "serial/frame_assembler.h"

#include <cstring>

Frame FrameAssembler::Append(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return Frame{buffer_.data(), 0};
  // A chunk that does not fit is not copied, and the collection is over the
  // limit with it: both are dropped. So is a collection that reaches the
  // capacity exactly, even when it ends in CR LF; the longest frame is one
  // byte shorter.
  if (count >= kCapacity - fill_) {
    fill_ = 0;
    return Frame{buffer_.data(), 0};
  }
  std::memcpy(buffer_.data() + fill_, bytes, count);
  fill_ += count;
  if (fill_ >= 2 && buffer_[fill_ - 2] == '\r' && buffer_[fill_ - 1] == '\n') {
    const Frame frame{buffer_.data(), fill_};
    fill_ = 0;  // The bytes stay in the buffer until the next Append.
    return frame;
  }
  return Frame{buffer_.data(), 0};
}
