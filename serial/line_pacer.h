// How much the device's wire still has to send, so that the bridge hands the
// serial driver only what the wire sends within a few milliseconds, and lets
// the rest wait in its own queue, where newer DMX can replace it.
#ifndef ARTNET_SERIAL_LINE_PACER_H_
#define ARTNET_SERIAL_LINE_PACER_H_

#include <cstddef>
#include <cstdint>

// Time in nanoseconds on one monotonic clock.
using Nanoseconds = std::int64_t;

class LinePacer {
 public:
  // `baud` with 10 bits a byte (8N1); `lead` is how much of the wire's time
  // may already be handed over when the next write starts.
  LinePacer(std::uint32_t baud, Nanoseconds lead) : baud_(baud), lead_(lead) {}

  // The wire's time for `bytes`.
  Nanoseconds WireTime(std::size_t bytes) const;

  // When the next write may start: `now` if the wire has at most `lead` left
  // of what it was given, else the moment it will. `driver_queued` is what
  // the driver reports it still holds (TIOCOUTQ, cbOutQue; 0 when it cannot
  // tell): the later of the two estimates counts.
  Nanoseconds NextWriteAt(Nanoseconds now, std::size_t driver_queued) const;

  // `bytes` were handed to the driver at `at`.
  void Wrote(std::size_t bytes, Nanoseconds at);

  // Forgets what the wire had: a new port starts idle.
  void Reset() { busy_until_ = 0; }

 private:
  std::uint32_t baud_;
  Nanoseconds lead_;
  Nanoseconds busy_until_ = 0;  // When the wire sends its last byte given so far.
};

#endif  // ARTNET_SERIAL_LINE_PACER_H_
