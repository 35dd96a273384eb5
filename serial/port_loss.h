// When an open port counts as lost: its device has gone (an unplugged
// adapter), or its driver has failed every call for a while (a driver that
// came back from sleep broken, an adapter that answers every write with an
// error until it is replugged). A lost port goes through the device link's
// loss and return: it is let go and the device is looked for again.
//
// Pure: the platform's side says what became of each call (its system error
// translated into a PortOutcome); FailureRun decides from their sequence.
#ifndef ARTNET_SERIAL_PORT_LOSS_H_
#define ARTNET_SERIAL_PORT_LOSS_H_

#include <cstdint>

// What became of one read, write or status query on the device's port.
enum class PortOutcome {
  kWorked,     // It did what was asked (a read that found nothing included).
  kFailed,     // The system refused it; the port may still come right.
  kGone,       // An error only a port whose device has gone gives.
  kCancelled,  // The bridge cancelled it itself: it says nothing of the port.
};

// Windows: the outcome of a call that failed with the system error `error`
// (GetLastError). `cancelled_by_bridge` says the bridge cancelled the call
// itself (CancelIoEx), so that its ERROR_OPERATION_ABORTED is the bridge's
// own doing. Kept here rather than beside the Win32 calls so that it is
// tested wherever the bridge is built.
PortOutcome OutcomeOfWindowsError(std::uint32_t error, bool cancelled_by_bridge);

// One direction of a port (its reads, or its writes): lost at once on
// kGone, or once its calls have kept failing, with none that worked in
// between, for more than kLostAfterMs. The bridge's own cancellations
// neither start nor end a run of failures. One thread at a time.
class FailureRun {
 public:
  static constexpr std::int64_t kLostAfterMs = 1000;

  // The outcome of one call that ended at `now_ms` (a steady clock's
  // milliseconds). Returns true when the port is to count as lost.
  bool Record(PortOutcome outcome, std::int64_t now_ms);

  // A new port: no failures yet.
  void Reset() { failing_ = false; }

 private:
  bool failing_ = false;
  std::int64_t first_failure_ms_ = 0;
};

#endif  // ARTNET_SERIAL_PORT_LOSS_H_
