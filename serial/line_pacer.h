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
  //
  // A driver may hold bytes without counting them (a pty counts nothing; an
  // adapter does not count its own buffer), and when the wire loses time
  // (the adapter waits for its bus, the device holds it off) those bytes
  // stay ahead of the estimate for good: every packet behind them reaches
  // the device later, and no driver count says so. They drain while the
  // wire stands idle by the estimate. So, when in `drain_every` the wire
  // has stood idle for less than `drain` in all, the next write waits until
  // it has made up the rest: bytes held unseen drain by `drain` a period,
  // and at worst the wire idles that long. 0 never waits.
  LinePacer(std::uint32_t baud, Nanoseconds lead, Nanoseconds drain_every = 0, Nanoseconds drain = 0)
      : baud_(baud), lead_(lead), drain_every_(drain_every), drain_(drain) {}

  // The wire's time for `bytes`.
  Nanoseconds WireTime(std::size_t bytes) const;

  // When the next write may start: `now` if the wire has at most `lead` left
  // of what it was given, else the moment it will. `driver_queued` is what
  // the driver reports it still holds (TIOCOUTQ, cbOutQue; 0 when it cannot
  // tell): the later of the two estimates counts.
  //
  // A write that `can_wait` (it carries nothing new) is handed over only
  // once the wire is idle, so that news coming meanwhile goes before it, not
  // behind it; and a drain the period will need is taken before it already
  // in the period's second half, rather than before news at its end.
  Nanoseconds NextWriteAt(Nanoseconds now, std::size_t driver_queued, bool can_wait = false) const;

  // `bytes` were handed to the driver at `at`.
  void Wrote(std::size_t bytes, Nanoseconds at);

  // Forgets what the wire had: a new port starts idle.
  void Reset() {
    busy_until_ = 0;
    drained_at_ = 0;
    idle_ = 0;
  }

 private:
  std::uint32_t baud_;
  Nanoseconds lead_;
  Nanoseconds drain_every_;
  Nanoseconds drain_;
  Nanoseconds busy_until_ = 0;  // When the wire sends its last byte given so far.
  Nanoseconds drained_at_ = 0;  // When the wire had last stood idle for `drain`,
  Nanoseconds idle_ = 0;        // and how long it has stood idle since.
};

#endif  // ARTNET_SERIAL_LINE_PACER_H_
