// What has crossed the bridge since it started, counted by the threads that
// carry it and read by whoever shows the bridge's state. Any thread.
#ifndef ARTNET_APP_TRAFFIC_COUNTS_H_
#define ARTNET_APP_TRAFFIC_COUNTS_H_

#include <atomic>
#include <cstdint>

struct TrafficCounts {
  // Art-Net packets written to the device, whole.
  std::atomic<std::uint64_t> to_device{0};
  // Packets that did not reach it: superseded by newer DMX of their stream,
  // captured while there was no device, or more than the queue holds.
  std::atomic<std::uint64_t> dropped{0};
  // ArtDmx and ArtNzs for universes the device said it does not output.
  std::atomic<std::uint64_t> other_universes{0};
  // The wire time of what was written to the device, in nanoseconds.
  std::atomic<std::uint64_t> wire_busy_ns{0};
  // The device's frames sent to the network, and sends that failed.
  std::atomic<std::uint64_t> frames_to_network{0};
  std::atomic<std::uint64_t> failed_sends{0};
};

#endif  // ARTNET_APP_TRAFFIC_COUNTS_H_
