// The bridge's state at a glance, while it runs: which port the device is
// on (or that it is being waited for) and what has crossed. Shown in the
// service manager's status on Linux (systemctl status) and in the console
// window's title on Windows; the console's own messages stay as they are.
#ifndef ARTNET_APP_STATUS_H_
#define ARTNET_APP_STATUS_H_

#include <cstdint>
#include <functional>
#include <string>

// What the status line is made of, read at one moment.
struct StatusSnapshot {
  std::string device_path;  // Empty while the device is gone.
  std::uint64_t to_device = 0;
  std::uint64_t dropped = 0;
  std::uint64_t frames_to_network = 0;
  std::uint64_t failed_sends = 0;
  std::uint64_t line_noise = 0;  // Bytes.
  // The addresses being captured, as FormatAddresses shows them.
  std::string capturing;
};

// One line, ASCII, the same on both platforms: the program and its version
// (ARTNET_VERSION, from the build), then the state, the addresses captured
// and the counts, such as
//   "artnet-serial-bridge 1.0.0: device /dev/ttyUSB0, capturing 2.0.0.1
//    192.168.1.20, to device 1200, dropped 3, to network 40, failed sends 0,
//    line noise 0 bytes"
//   "artnet-serial-bridge 1.0.0: waiting for the device, capturing nothing,
//    to device 1200, dropped 51, to network 40, failed sends 0, line noise
//    517 bytes"
// (each on one line). Any thread.
std::string FormatStatus(const StatusSnapshot& status);

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
