// The bridge's state at a glance, while it runs: which port the device is
// on (or that it is being waited for) and what has crossed. Shown in the
// service manager's status on Linux (systemctl status) and in the console
// window's title on Windows; the console's own messages stay as they are.
#ifndef ARTNET_APP_STATUS_H_
#define ARTNET_APP_STATUS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the status line is made of, read at one moment.
struct StatusSnapshot {
  std::string device_path;  // Empty while the device is gone.
  std::uint64_t to_device = 0;
  std::uint64_t dropped = 0;
  std::uint64_t frames_to_network = 0;
  std::uint64_t failed_sends = 0;
  // The Port-Addresses the device outputs, ascending; empty while unknown.
  std::vector<std::uint16_t> universes = {};
  // How busy the wire is, in percent; ArtDmx and ArtNzs for universes the
  // device does not output.
  int wire_percent = 0;
  std::uint64_t other_universes = 0;
  std::uint64_t line_noise = 0;  // Bytes.
  // The addresses being captured, as FormatAddresses shows them.
  std::string capturing = {};
};

// One line, ASCII, the same on both platforms: the program and its version
// (ARTNET_VERSION, from the build), then the state, the addresses captured,
// the device's universes, how busy its wire is and the counts, such as
//   "artnet-serial-bridge 1.0.0: device /dev/ttyUSB0, capturing 2.0.0.1
//    192.168.1.20, universes 0-3,8, wire 78%, to device 1200, dropped 3,
//    other universes 2082, to network 40, failed sends 0, line noise 0 bytes"
//   "artnet-serial-bridge 1.0.0: waiting for the device, capturing nothing,
//    universes all, wire 0%, to device 1200, dropped 51, other universes 0,
//    to network 40, failed sends 0, line noise 517 bytes"
// (each on one line). Runs of universes are shown as ranges, the first
// kShownRanges of them. Any thread.
constexpr std::size_t kShownRanges = 8;
std::string FormatStatus(const StatusSnapshot& status);

// How busy the wire was over the last second or so, from a running total of
// the wire time written: the status thread's.
class WireLoad {
 public:
  // `busy_ns` is the total at `now_ns` (one monotonic clock). Returns the
  // share of the latest span of a second or more that has ended, in
  // percent, 0 until one has.
  int Percent(std::int64_t now_ns, std::uint64_t busy_ns);

 private:
  std::int64_t start_ = -1;
  std::uint64_t busy_at_start_ = 0;
  int percent_ = 0;
};

// Shows `line` (platform: sd_notify STATUS= on Linux when run by systemd,
// the console title on Windows). The status thread only.
void ShowStatus(const std::string& line);

// Tells the service manager, if any, that start-up is done (READY=1) or that
// the bridge is stopping (STOPPING=1). Main thread.
void NotifyReady();
void NotifyStopping();

// The status thread's body: shows the status now and then at most once a
// second, whenever it changed, until `stopped` returns true (looked at
// every tenth of a second).
void RunStatusReporter(const std::function<StatusSnapshot()>& snapshot,
                       const std::function<bool()>& stopped);

#endif  // ARTNET_APP_STATUS_H_
