#include "app/status.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The line both platforms show: the version from the build, the device's
// port or the wait for one, the addresses captured, the device's universes,
// and every count in its own place, whole (64-bit counts do not wrap at 32
// bits).
TEST(Status, LineNamesTheVersionThePortTheAddressesAndEveryCount) {
  StatusSnapshot status{"/dev/ttyUSB0", 1200, 3, 40, 2};
  status.line_noise = 517;
  status.capturing = "2.0.0.1 192.168.1.20";
  status.universes = {0, 1, 2, 3};
  status.wire_percent = 78;
  status.other_universes = 2082;
  EXPECT_EQ(FormatStatus(status), "artnet-serial-bridge " ARTNET_VERSION
                                  ": device /dev/ttyUSB0, capturing 2.0.0.1 192.168.1.20, universes 0-3, wire 78%, "
                                  "to device 1200, dropped 3, other universes 2082, to network 40, failed sends 2, "
                                  "line noise 517 bytes");
  status.device_path.clear();
  status.universes.clear();
  status.to_device = std::uint64_t{1} << 32;
  status.line_noise = std::uint64_t{5} << 32;
  EXPECT_EQ(FormatStatus(status), "artnet-serial-bridge " ARTNET_VERSION
                                  ": waiting for the device, capturing 2.0.0.1 192.168.1.20, universes all, wire 78%, to device 4294967296, "
                                  "dropped 3, other universes 2082, to network 40, failed sends 2, line noise 21474836480 bytes");
  EXPECT_EQ(FormatStatus(StatusSnapshot{"COM10", 0, 0, 0, 0}),
            "artnet-serial-bridge " ARTNET_VERSION ": device COM10, capturing nothing, universes all, wire 0%, to device 0, "
            "dropped 0, other universes 0, to network 0, failed sends 0, line noise 0 bytes");
}

// Runs of universes as ranges, single ones alone, the first few of many.
TEST(Status, UniversesAsRanges) {
  auto universes = [](std::vector<std::uint16_t> addresses) {
    StatusSnapshot status{"COM3", 0, 0, 0, 0};
    status.universes = std::move(addresses);
    const std::string line = FormatStatus(status);
    const std::size_t at = line.find("universes ") + 10;
    return line.substr(at, line.find(", wire") - at);
  };
  EXPECT_EQ(universes({7}), "7");
  EXPECT_EQ(universes({0, 1, 2, 3, 8, 10, 11, 32767}), "0-3,8,10-11,32767");
  EXPECT_EQ(universes({4, 5}), "4-5");
  std::vector<std::uint16_t> scattered;
  for (std::uint16_t u = 0; u < 40; u += 2) scattered.push_back(u);
  EXPECT_EQ(universes(scattered), "0,2,4,6,8,10,12,14,...");
}

// The share of the last whole second, held until the next one ends.
TEST(Status, WireLoadOverWholeSeconds) {
  constexpr std::int64_t kSecond = 1000000000;
  WireLoad load;
  EXPECT_EQ(load.Percent(5 * kSecond, 1000), 0);
  EXPECT_EQ(load.Percent(5 * kSecond + kSecond / 2, 400000000), 0) << "no second has ended";
  EXPECT_EQ(load.Percent(6 * kSecond, 780001000), 78);
  EXPECT_EQ(load.Percent(6 * kSecond + kSecond / 2, 780001000), 78) << "held";
  EXPECT_EQ(load.Percent(8 * kSecond, 780001000 + 3 * kSecond / 10), 15) << "over two seconds";
  EXPECT_EQ(load.Percent(9 * kSecond, 780001000 + 3 * kSecond / 10 + kSecond + 5000000), 100)
      << "written ahead of the wire";
}

}  // namespace
