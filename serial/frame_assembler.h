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
// (DMX data is binary) may hold CR LF.
//
// Line noise (a device that boots, an adapter at the wrong speed) is no
// frame: where the collection does not start with the ID, an ID that follows
// it without CR LF in between starts a new frame, and the bytes before it
// are discarded, so that the device's next frame comes out whole. A
// collection that starts with anything else and ends in CR LF is still a
// frame. Where an ID has only partly arrived when a read ends, the decision
// waits for the next read.
//
// A frame that reaches 2048 bytes is discarded, with the rest of the read it
// overflowed in, up to the next frame that starts inside that read with the
// Art-Net ID; what may be the start of an ID at the read's end begins the
// next collection.
//
// Every byte discarded (noise, frames too long, a collection thrown away) is
// counted in Discarded() and reported nowhere else. Pure; one thread at a
// time.
class FrameAssembler {
 public:
  // The longest frame is one byte shorter.
  static constexpr std::size_t kCapacity = 2048;

  // Appends one read's `count` bytes and hands every frame they complete to
  // `sink`, in order.
  void Append(const std::uint8_t* bytes, std::size_t count, const FrameSink& sink);

  // Discards what is collected, as when the device's port changes: the old
  // port's unfinished frame is not the new one's.
  void DiscardCollection();

  // The number of bytes collected towards the next frame.
  std::size_t Collected() const { return discarding_ ? 0 : fill_; }

  // Every byte appended so far that went out in no frame and is not
  // collected: each one appended is in exactly one of a frame, Discarded()
  // and Collected() once Append returns.
  std::uint64_t Discarded() const { return discarded_; }

 private:
  static constexpr std::size_t kIdSize = 8;  // sizeof kArtNetId
  // The longest frame, and the part of the next frame's ID that may follow
  // it before the frame can be told to have ended.
  static constexpr std::size_t kBufferSize = kCapacity - 1 + kIdSize + 1;

  // How many bytes at the collection's end (0 to 7) are the start of an ID.
  std::size_t PendingId() const;
  // The bytes of the collection that belong to the frame, less a pending
  // CR LF and start of an ID at its end that may yet begin the next frame.
  std::size_t FrameSoFar() const;
  // The collection becomes the ID at its end, which starts the next frame;
  // `before` bytes precede it.
  void StartAtId(std::size_t before);

  std::uint8_t buffer_[kBufferSize] = {};
  std::size_t fill_ = 0;
  // Whether the collection's first bytes are the ID; known from its eighth
  // byte on, and kept while a frame too long slides through the buffer.
  bool starts_with_id_ = false;
  // Passing over the rest of a frame that grew too long.
  bool discarding_ = false;
  std::uint64_t discarded_ = 0;
};

#endif  // ARTNET_SERIAL_FRAME_ASSEMBLER_H_
