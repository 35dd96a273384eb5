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

Nanoseconds LinePacer::NextWriteAt(Nanoseconds now, std::size_t driver_queued) const {
  const Nanoseconds busy_until = std::max(busy_until_, now + WireTime(driver_queued));
  return std::max(now, busy_until - lead_);
}

void LinePacer::Wrote(std::size_t bytes, Nanoseconds at) {
  busy_until_ = std::max(busy_until_, at) + WireTime(bytes);
}
