// The serial link as the simulated device has it with --baud: a wire that
// carries ten bits a byte (8N1) at the line rate in each direction, the
// buffer of the host's USB adapter in front of the wire to the device, and
// the chunks in which the adapter hands the host what the wire from the
// device carried.
//
// Pure code: the caller gives the time, as nanoseconds of one monotonic
// clock; nothing here reads a clock, sleeps or does I/O. One caller drives
// each object; none is thread-safe.
#ifndef ARTNET_TOOLS_SIM_WIRE_H_
#define ARTNET_TOOLS_SIM_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

using Nanoseconds = std::int64_t;
constexpr Nanoseconds kNever = std::numeric_limits<Nanoseconds>::max();

// How long `bytes` bytes take on a wire of `baud`, rounded down: a start
// bit, eight data bits and a stop bit each.
Nanoseconds WireTime(std::uint64_t bytes, std::uint32_t baud);

// Bytes that came off the wire back to back, part or all of one run (bytes
// that crossed without a gap between them).
struct WirePiece {
  std::vector<std::uint8_t> bytes;
  std::uint64_t run = 0;   // Pieces of the same run carry the same number.
  bool ends_run = false;   // The wire went quiet after the last byte.
  Nanoseconds start = 0;   // When the stop bit of bytes[i] ended is
  std::uint64_t first = 0; // start + WireTime(first + i + 1, baud).
  std::uint32_t baud = 0;

  Nanoseconds End(std::size_t i) const { return start + WireTime(first + i + 1, baud); }
};

// Host to device: the adapter's buffer of `capacity` bytes, which the wire
// empties at its pace unless the device has stalled. Call Advance(now)
// before Take or Stall at the same `now`, so that what left the wire before
// them has been accounted for.
class ReceiveWire {
 public:
  ReceiveWire(std::uint32_t baud, std::size_t capacity);

  // The bytes the buffer can take now.
  std::size_t Room() const { return capacity_ - buffer_.size(); }
  // Puts at most Room() bytes into the buffer at `now`; an idle wire starts
  // on the first at once (a stalled one when the stall ends).
  void Take(const std::uint8_t* data, std::size_t size, Nanoseconds now);
  // Appends to `out` the bytes that left the wire up to `now`, in order.
  void Advance(Nanoseconds now, std::vector<WirePiece>* out);
  // The device takes nothing off the wire from `now` for `duration`; a stall
  // already on is extended, never shortened. The byte on the wire at `now`
  // crosses when the stall ends.
  void Stall(Nanoseconds now, Nanoseconds duration);

  // Whether the host must be kept from writing: from the moment the buffer
  // is full until it has drained below the mark at which Linux's tty layer
  // reports a port writable again (fewer than 256 bytes waiting).
  bool HoldHost() const { return hold_host_; }
  // Bytes are crossing the wire.
  bool Busy() const { return in_run_; }
  // The next moment at which Advance has news that cannot wait: the run
  // ends, the host may write again, the stall ends. kNever when none.
  Nanoseconds NextChange() const;

  std::uint64_t received() const { return received_; }
  Nanoseconds busy_time() const { return WireTime(received_, baud_); }

 private:
  const std::uint32_t baud_;
  const std::size_t capacity_;
  const std::size_t release_below_;
  std::deque<std::uint8_t> buffer_;
  bool in_run_ = false;
  std::uint64_t run_ = 0;
  Nanoseconds run_start_ = 0;
  std::uint64_t run_taken_ = 0;  // Bytes of the run already off the wire.
  Nanoseconds stall_until_ = 0;
  bool hold_host_ = false;
  std::uint64_t received_ = 0;
};

// Device to host: frames go on the wire one after the other, back to back
// when they wait, and the adapter hands what it received to the host in
// chunks of up to `chunk` bytes: as soon as a chunk is full, or once the
// wire has been quiet for `latency` with bytes waiting.
class SendWire {
 public:
  struct Chunk {
    std::vector<std::uint8_t> bytes;
    Nanoseconds due = 0;  // When the adapter hands it over.
    // The frames whose last byte is in this chunk, in order.
    std::vector<std::vector<std::uint8_t>> finished;
  };

  SendWire(std::uint32_t baud, std::size_t chunk, Nanoseconds latency);

  // Puts `frame` on the wire after what is already there, not before `ready`.
  void Queue(std::vector<std::uint8_t> frame, Nanoseconds ready);
  // Appends to `out` the chunks handed over up to `now`, in order.
  void Advance(Nanoseconds now, std::vector<Chunk>* out);
  // When the next chunk is due; kNever when nothing waits.
  Nanoseconds NextChange() const;

  std::uint64_t sent() const { return sent_; }

 private:
  // Byte i of a frame ends at start + WireTime(first + i + 1): frames sent
  // back to back share their start, so that no rounding adds up.
  struct Frame {
    std::vector<std::uint8_t> bytes;
    Nanoseconds start;
    std::uint64_t first;
  };
  // The next chunk, and how far it takes the wire: whole frames it finishes
  // and the bytes of the next frame it takes. False when nothing waits.
  bool Peek(Chunk* chunk, std::size_t* finished, std::size_t* taken) const;

  const std::uint32_t baud_;
  const std::size_t chunk_;
  const Nanoseconds latency_;
  std::deque<Frame> frames_;
  std::size_t taken_ = 0;  // Bytes of frames_.front() in earlier chunks.
  Nanoseconds run_start_ = 0;   // Of the frames that follow back to back,
  std::uint64_t run_bytes_ = 0; // and the bytes they carry.
  Nanoseconds last_due_ = 0;
  std::uint64_t sent_ = 0;
};

#endif  // ARTNET_TOOLS_SIM_WIRE_H_
