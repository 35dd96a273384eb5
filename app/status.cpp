#include "app/status.h"

#include <chrono>
#include <thread>

namespace {

// "0-3,8,10-11": runs of consecutive addresses as ranges.
std::string Ranges(const std::vector<std::uint16_t>& addresses) {
  std::string text;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < addresses.size();) {
    std::size_t last = i;
    while (last + 1 < addresses.size() && addresses[last + 1] == addresses[last] + 1) ++last;
    if (shown == kShownRanges) return text + ",...";
    if (shown++ > 0) text += ",";
    text += std::to_string(addresses[i]);
    if (last > i) text += "-" + std::to_string(addresses[last]);
    i = last + 1;
  }
  return text;
}

}  // namespace

std::string FormatStatus(const StatusSnapshot& status) {
  std::string line = "artnet-serial-bridge " ARTNET_VERSION ": ";
  line += status.device_path.empty() ? "waiting for the device" : "device " + status.device_path;
  line += ", capturing " + (status.capturing.empty() ? std::string("nothing") : status.capturing);
  line += ", universes " + (status.universes.empty() ? std::string("all") : Ranges(status.universes));
  line += ", wire " + std::to_string(status.wire_percent) + "%";
  line += ", to device " + std::to_string(status.to_device);
  line += ", dropped " + std::to_string(status.dropped);
  line += ", other universes " + std::to_string(status.other_universes);
  line += ", to network " + std::to_string(status.frames_to_network);
  line += ", failed sends " + std::to_string(status.failed_sends);
  line += ", line noise " + std::to_string(status.line_noise) + " bytes";
  return line;
}

int WireLoad::Percent(std::int64_t now_ns, std::uint64_t busy_ns) {
  constexpr std::int64_t kSpan = 1000000000;
  if (start_ < 0 || now_ns < start_) {
    start_ = now_ns;
    busy_at_start_ = busy_ns;
  } else if (now_ns - start_ >= kSpan) {
    const double share = static_cast<double>(busy_ns - busy_at_start_) / static_cast<double>(now_ns - start_);
    // What was handed over ahead of the wire counts a little early.
    percent_ = share >= 1 ? 100 : static_cast<int>(share * 100 + 0.5);
    start_ = now_ns;
    busy_at_start_ = busy_ns;
  }
  return percent_;
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
