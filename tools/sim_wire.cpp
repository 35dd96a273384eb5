#include "tools/sim_wire.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kBitsPerByte = 10;  // 8N1: start, eight data, stop.
constexpr std::uint64_t kSecond = 1000000000;
// The time of `baud` bytes, a whole number of nanoseconds at any rate.
constexpr std::uint64_t kTimeOfBaudBytes = kBitsPerByte * kSecond;

// Linux's tty layer reports a port writable (POLLOUT) only while fewer than
// this many bytes wait in its driver (WAKEUP_CHARS).
constexpr std::size_t kWakeupChars = 256;

// The most bytes whose stop bit has ended `elapsed` after the first one's
// start bit began. Exact in 64 bits for any run: whole periods of `baud`
// bytes are counted apart.
std::uint64_t BytesWithin(Nanoseconds elapsed, std::uint32_t baud) {
  if (elapsed <= 0) return 0;
  const std::uint64_t time = static_cast<std::uint64_t>(elapsed);
  std::uint64_t bytes = time / kTimeOfBaudBytes * baud + time % kTimeOfBaudBytes * baud / kTimeOfBaudBytes;
  // WireTime rounds down, so one more byte may end on the very nanosecond.
  if (WireTime(bytes + 1, baud) <= elapsed) ++bytes;
  return bytes;
}

}  // namespace

Nanoseconds WireTime(std::uint64_t bytes, std::uint32_t baud) {
  return static_cast<Nanoseconds>(bytes / baud * kTimeOfBaudBytes + bytes % baud * kTimeOfBaudBytes / baud);
}

ReceiveWire::ReceiveWire(std::uint32_t baud, std::size_t capacity)
    : baud_(baud),
      capacity_(capacity),
      // A buffer too small for the tty layer's mark lets the host go at half.
      release_below_(capacity > 2 * kWakeupChars ? kWakeupChars : (capacity + 1) / 2) {}

void ReceiveWire::Take(const std::uint8_t* data, std::size_t size, Nanoseconds now) {
  size = std::min(size, Room());
  if (size == 0) return;
  if (!in_run_ && buffer_.empty() && now >= stall_until_) {
    in_run_ = true;
    ++run_;
    run_start_ = now;
    run_taken_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
  if (Room() == 0) hold_host_ = true;
}

void ReceiveWire::Advance(Nanoseconds now, std::vector<WirePiece>* out) {
  if (!in_run_ && !buffer_.empty() && now >= stall_until_) {
    // A stall has ended with bytes waiting: they cross from its end on.
    in_run_ = true;
    ++run_;
    run_start_ = stall_until_;
    run_taken_ = 0;
  }
  if (in_run_) {
    const std::uint64_t off_wire = BytesWithin(now - run_start_, baud_);
    if (off_wire > run_taken_) {
      const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(off_wire - run_taken_, buffer_.size()));
      WirePiece piece;
      piece.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
      piece.run = run_;
      piece.start = run_start_;
      piece.first = run_taken_;
      piece.baud = baud_;
      run_taken_ += count;
      received_ += count;
      if (buffer_.empty()) {
        in_run_ = false;
        piece.ends_run = true;
      }
      out->push_back(std::move(piece));
      // Keep the run's arithmetic small: every `baud` bytes are exactly
      // ten seconds.
      if (run_taken_ >= baud_) {
        const std::uint64_t periods = run_taken_ / baud_;
        run_start_ += static_cast<Nanoseconds>(periods * kTimeOfBaudBytes);
        run_taken_ -= periods * baud_;
      }
    }
  }
  if (hold_host_ && buffer_.size() < release_below_) hold_host_ = false;
}

void ReceiveWire::Stall(Nanoseconds now, Nanoseconds duration) {
  stall_until_ = std::max(stall_until_, now + duration);
  in_run_ = false;
}

Nanoseconds ReceiveWire::NextChange() const {
  if (!in_run_) return buffer_.empty() ? kNever : stall_until_;
  Nanoseconds next = run_start_ + WireTime(run_taken_ + buffer_.size(), baud_);
  if (hold_host_ && buffer_.size() >= release_below_) {
    next = std::min(next, run_start_ + WireTime(run_taken_ + buffer_.size() - release_below_ + 1, baud_));
  }
  return next;
}

SendWire::SendWire(std::uint32_t baud, std::size_t chunk, Nanoseconds latency)
    : baud_(baud), chunk_(chunk), latency_(latency) {}

void SendWire::Queue(std::vector<std::uint8_t> frame, Nanoseconds ready) {
  if (frame.empty()) return;
  // Never before a chunk already handed over: a caller that comes late
  // cannot put bytes into the past.
  const Nanoseconds wire_free = run_start_ + WireTime(run_bytes_, baud_);
  const Nanoseconds start = std::max(ready, last_due_);
  if (start > wire_free) {
    run_start_ = start;
    run_bytes_ = 0;
  }
  const std::size_t size = frame.size();
  frames_.push_back(Frame{std::move(frame), run_start_, run_bytes_});
  run_bytes_ += size;
}

bool SendWire::Peek(Chunk* chunk, std::size_t* finished, std::size_t* taken) const {
  chunk->bytes.clear();
  chunk->finished.clear();
  *finished = 0;
  *taken = taken_;
  Nanoseconds last_end = 0;
  while (*finished < frames_.size()) {
    const Frame& frame = frames_[*finished];
    const Nanoseconds end = frame.start + WireTime(frame.first + *taken + 1, baud_);
    if (!chunk->bytes.empty() && end > last_end + latency_) {
      chunk->due = last_end + latency_;  // The latency timer went off first.
      return true;
    }
    chunk->bytes.push_back(frame.bytes[*taken]);
    last_end = end;
    if (++*taken == frame.bytes.size()) {
      chunk->finished.push_back(frame.bytes);
      ++*finished;
      *taken = 0;
    }
    if (chunk->bytes.size() == chunk_) {
      chunk->due = end;
      return true;
    }
  }
  if (chunk->bytes.empty()) return false;
  chunk->due = last_end + latency_;
  return true;
}

void SendWire::Advance(Nanoseconds now, std::vector<Chunk>* out) {
  for (;;) {
    Chunk chunk;
    std::size_t finished = 0;
    std::size_t taken = 0;
    if (!Peek(&chunk, &finished, &taken) || chunk.due > now) return;
    frames_.erase(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(finished));
    taken_ = taken;
    last_due_ = chunk.due;
    sent_ += chunk.bytes.size();
    out->push_back(std::move(chunk));
  }
}

Nanoseconds SendWire::NextChange() const {
  Chunk chunk;
  std::size_t finished = 0;
  std::size_t taken = 0;
  return Peek(&chunk, &finished, &taken) ? chunk.due : kNever;
}
