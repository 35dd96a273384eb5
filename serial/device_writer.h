// The network-to-device direction's second half: the queue the capture
// thread fills, and the writer thread that empties it at the wire's pace.
//
// A captured packet is written at once when the wire has room. When it has
// not, packets wait here (serial/device_queue.h says which give way), not in
// the capture socket or the serial driver, where they would grow stale out
// of reach: the driver is handed only what the wire sends within a few
// milliseconds (serial/line_pacer.h).
#ifndef ARTNET_SERIAL_DEVICE_WRITER_H_
#define ARTNET_SERIAL_DEVICE_WRITER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "serial/device_queue.h"
#include "serial/device_link.h"
#include "serial/line_pacer.h"

// What the writer has done with the packets it was offered. Any thread.
struct WriterCounts {
  // Art-Net packets written to the device, whole.
  std::atomic<std::uint64_t> to_device{0};
  // Packets that did not reach it: superseded by newer DMX of their stream,
  // offered while there was no device, or more than the queue holds.
  std::atomic<std::uint64_t> dropped{0};
};

class DeviceWriter {
 public:
  // How much of the wire's time may be handed to the driver ahead.
  static constexpr Nanoseconds kLead = 2000000;
  // The wire stands idle for 4 ms in every quarter second by the estimate,
  // made up under load (see LinePacer): 1.6% of its time at worst, and what
  // a driver holds unseen drains by 16 ms a second.
  static constexpr Nanoseconds kDrainEvery = 250000000;
  static constexpr Nanoseconds kDrain = 4000000;

  explicit DeviceWriter(DeviceLink& link);

  // Capture thread: a captured Art-Net packet from `source` (IPv4, network
  // byte order) for the device. Dropped, and counted, while there is no
  // device.
  void Offer(std::uint32_t source, const std::uint8_t* payload, std::size_t size);

  // Main thread, from the link: the port was lost (what waits is dropped and
  // nothing is taken until a port is back) or a new one has had its probe.
  void SetConnected(bool connected);

  // The writer thread's body; returns after Stop.
  void Run();
  void Stop();

  const WriterCounts& counts() const { return counts_; }

 private:
  DeviceLink& link_;
  WriterCounts counts_;
  LinePacer pacer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  DeviceQueue queue_;
  bool connected_ = true;
  bool stopped_ = false;
};

#endif  // ARTNET_SERIAL_DEVICE_WRITER_H_
