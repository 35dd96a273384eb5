#include "serial/line_pacer.h"

#include <algorithm>

namespace {
// A start bit, 8 data bits, no parity, one stop bit.
constexpr std::int64_t kBitsPerByte = 10;
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
}  // namespace

Nanoseconds LinePacer::WireTime(std::size_t bytes) const {
  return static_cast<Nanoseconds>(bytes) * kBitsPerByte * kNanosecondsPerSecond / baud_;
}

Nanoseconds LinePacer::NextWriteAt(Nanoseconds now, std::size_t driver_queued, bool can_wait) const {
  Nanoseconds idle_at = busy_until_;
  if (driver_queued > 0) idle_at = std::max(idle_at, now + WireTime(driver_queued));
  Nanoseconds at = std::max(now, idle_at - (can_wait ? 0 : lead_));
  const Nanoseconds drain_due = drained_at_ + (can_wait ? drain_every_ / 2 : drain_every_);
  if (drain_every_ > 0 && now >= drain_due) at = std::max(at, idle_at + (drain_ - idle_));
  return at;
}

void LinePacer::Wrote(std::size_t bytes, Nanoseconds at) {
  if (at > busy_until_) idle_ += at - busy_until_;
  if (idle_ >= drain_) {
    drained_at_ = at;
    idle_ = 0;
  }
  busy_until_ = std::max(busy_until_, at) + WireTime(bytes);
}
