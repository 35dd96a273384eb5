// The command line of artnet-device-sim (tools/device_sim.cpp): what the
// simulated device is and how its link behaves.
#ifndef ARTNET_TOOLS_DEVICE_SIM_OPTIONS_H_
#define ARTNET_TOOLS_DEVICE_SIM_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Options {
  std::uint8_t address[4] = {2, 0, 0, 1};  // Art-Net's primary network.
  std::string short_name = "Serial Sim";
  std::string long_name = "artnet-device-sim: a simulated Art-Net device on a pty";
  std::vector<std::vector<std::uint8_t>> send_on_first_bytes;
  std::string log_path;
  std::string link_path;
  // The Port-Addresses of its DMX outputs and inputs, which its
  // ArtPollReplies describe, up to `ports_per_reply` ports a reply (a
  // BindIndex page). No outputs and no inputs (as it starts, unless told):
  // one reply that describes no port, for which the bridge sends it every
  // universe.
  std::vector<std::uint16_t> outputs;
  std::vector<std::uint16_t> inputs;
  std::size_t ports_per_reply = 1;
  bool timestamps = false;
  // Run at a real-time priority: hardware is never late, and on a busy
  // machine a simulator at the normal priority can be, by milliseconds.
  bool realtime = false;
  // The wire, when there is one: 0 for a pty that moves bytes at once.
  std::uint32_t baud = 0;
  std::size_t buffer = 4096;  // What a USB adapter's driver and chip hold.
  std::size_t chunk = 62;     // An FTDI full-speed packet, less its two status bytes.
  int latency_ms = 1;         // Its latency timer in low-latency mode.
};

// Fills `options` from the command line. On a mistake, says what it was on
// standard error and returns false; on --help returns false with `*help`
// set.
bool ParseOptions(int argc, char** argv, Options* options, bool* help);

// The usage text, on standard error.
void PrintUsage();

#endif  // ARTNET_TOOLS_DEVICE_SIM_OPTIONS_H_
