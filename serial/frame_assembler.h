// Collects the bytes the device sends into frames that end with CR LF.
#ifndef ARTNET_SERIAL_FRAME_ASSEMBLER_H_
#define ARTNET_SERIAL_FRAME_ASSEMBLER_H_

#include <array>
#include <cstddef>
#include <cstdint>

// A complete frame: its bytes, CR LF included. Valid until the next Append.
struct Frame {
  const std::uint8_t* data;
  std::size_t size;
};

// The device's frames: runs of bytes whose last two are CR LF, at most 2047
// bytes long. Feed it each read's bytes in order. A frame ends only where a
// read's bytes leave the collection ending in CR LF; a CR LF inside a read
// does not split it. A collection that reaches 2048 bytes, or a read that
// does not fit in what is left, is discarded whole, and collecting starts
// again empty. Pure; one thread at a time.
class FrameAssembler {
 public:
  static constexpr std::size_t kCapacity = 2048;

  // Appends one read's `count` bytes. Returns the completed frame, or a frame
  // of size 0 when the collection does not end a frame yet (or was discarded).
  Frame Append(const std::uint8_t* bytes, std::size_t count);

  // The number of bytes collected towards the next frame.
  std::size_t Collected() const { return fill_; }

 private:
  std::array<std::uint8_t, kCapacity> buffer_{};
  std::size_t fill_ = 0;
};

#endif  // ARTNET_SERIAL_FRAME_ASSEMBLER_H_
