// Collects the bytes the device sends into frames that end with CR LF.
#ifndef ARTNET_SERIAL_FRAME_ASSEMBLER_H_
#define ARTNET_SERIAL_FRAME_ASSEMBLER_H_

#include <cstddef>
#include <cstdint>
#include <functional>

// Receives each complete frame, CR LF included. The bytes are valid only
// during the call.
using FrameSink = std::function<void(const std::uint8_t* frame, std::size_t size)>;

// The device's frames: runs of bytes whose last two are CR LF, at most 2047
// bytes long, fed one read at a time. A frame ends
//   - where CR LF is followed directly by the Art-Net ID ("Art-Net" and a zero
//     byte), which starts the next frame: the device's frames are Art-Net
//     packets, and a USB adapter hands them over in chunks that have nothing
//     to do with where they end; and
//   - where a read's bytes leave the collection ending in CR LF.
// A CR LF followed by anything else does not end a frame: a frame's own bytes
// (DMX data is binary) may hold CR LF. Where the next frame's ID has only
// partly arrived when a read ends, the decision waits for the next read.
// A frame that reaches 2048 bytes is discarded, with the rest of the read it
// overflowed in, up to the next frame that starts inside that read with the
// Art-Net ID; the next read starts a new collection. Bytes that do not start
// with the ID (line noise) stay the front of the frame being collected.
// Pure; one thread at a time.
class FrameAssembler {
 public:
  // The longest frame is one byte shorter.
  static constexpr std::size_t kCapacity = 2048;

  // Appends one read's `count` bytes and hands every frame they complete to
  // `sink`, in order.
  void Append(const std::uint8_t* bytes, std::size_t count, const FrameSink& sink);

  // The number of bytes collected towards the next frame.
  std::size_t Collected() const { return discarding_ ? 0 : fill_; }

 private:
  static constexpr std::size_t kIdSize = 8;  // sizeof kArtNetId
  // The longest frame, and the part of the next frame's ID that may follow
  // it before the frame can be told to have ended.
  static constexpr std::size_t kBufferSize = kCapacity - 1 + kIdSize + 1;

  // The bytes of the collection that belong to the frame, less a pending
  // CR LF and start of an ID at its end that may yet begin the next frame.
  std::size_t FrameSoFar() const;

  std::uint8_t buffer_[kBufferSize] = {};
  std::size_t fill_ = 0;
  // Passing over the rest of a frame that grew too long.
  bool discarding_ = false;
};

#endif  // ARTNET_SERIAL_FRAME_ASSEMBLER_H_
