#include "app/status.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The line both platforms show: the version from the build, the device's
// port or the wait for one, the addresses captured, and every count in its
// own place, whole (64-bit counts do not wrap at 32 bits).
TEST(Status, LineNamesTheVersionThePortTheAddressesAndEveryCount) {
  StatusSnapshot status{"/dev/ttyUSB0", 1200, 3, 40, 2, 517, "2.0.0.1 192.168.1.20"};
  EXPECT_EQ(FormatStatus(status), "artnet-serial-bridge " ARTNET_VERSION
                                  ": device /dev/ttyUSB0, capturing 2.0.0.1 192.168.1.20, to device 1200, "
                                  "dropped 3, to network 40, failed sends 2, line noise 517 bytes");
  status.device_path.clear();
  status.to_device = std::uint64_t{1} << 32;
  status.line_noise = std::uint64_t{5} << 32;
  EXPECT_EQ(FormatStatus(status), "artnet-serial-bridge " ARTNET_VERSION
                                  ": waiting for the device, capturing 2.0.0.1 192.168.1.20, to device "
                                  "4294967296, dropped 3, to network 40, failed sends 2, line noise 21474836480 bytes");
  EXPECT_EQ(FormatStatus(StatusSnapshot{"COM10", 0, 0, 0, 0, 0, ""}),
            "artnet-serial-bridge " ARTNET_VERSION
            ": device COM10, capturing nothing, to device 0, dropped 0, to network 0, failed sends 0, "
            "line noise 0 bytes");
}

}  // namespace
