#include "app/status.h"

#include <chrono>
#include <thread>

std::string FormatStatus(const StatusSnapshot& status) {
  std::string line = "artnet-serial-bridge " ARTNET_VERSION ": ";
  line += status.device_path.empty() ? "waiting for the device" : "device " + status.device_path;
  line += ", capturing " + (status.capturing.empty() ? std::string("nothing") : status.capturing);
  line += ", to device " + std::to_string(status.to_device);
  line += ", dropped " + std::to_string(status.dropped);
  line += ", to network " + std::to_string(status.frames_to_network);
  line += ", failed sends " + std::to_string(status.failed_sends);
  line += ", line noise " + std::to_string(status.line_noise) + " bytes";
  return line;
}

void RunStatusReporter(const std::function<StatusSnapshot()>& snapshot,
                       const std::function<bool()>& stopped) {
  using Clock = std::chrono::steady_clock;
  std::string shown;
  Clock::time_point last = Clock::now() - std::chrono::seconds(1);
  while (!stopped()) {
    const Clock::time_point now = Clock::now();
    if (now - last >= std::chrono::seconds(1)) {
      const std::string line = FormatStatus(snapshot());
      if (line != shown) {
        ShowStatus(line);
        shown = line;
        last = now;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
