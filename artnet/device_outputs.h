// Which universes the device outputs, as its own ArtPollReplies say.
//
// A device answers every ArtPoll (the bridge's start-up probe, every
// controller's) with ArtPollReplies, and sends them unasked when its
// settings change. Each describes up to four ports: PortTypes bit 7 marks
// an output, and an output's 15-bit Port-Address is the reply's Net and
// Sub-Net with the port's SwOut nibble. A device of more ports sends one
// reply for each page of four, told apart by BindIndex, and a page's reply
// replaces what that page said before. The device outputs the union of its
// pages' outputs.
//
// Pure; one thread at a time.
#ifndef ARTNET_ARTNET_DEVICE_OUTPUTS_H_
#define ARTNET_ARTNET_DEVICE_OUTPUTS_H_

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

class DeviceOutputs {
 public:
  // Port-Addresses are 15 bits: Net (7), Sub-Net (4), Universe (4).
  static constexpr std::size_t kPortAddresses = 1 << 15;

  // Reads one frame the device sent, its CR LF included or not. An
  // ArtPollReply long enough to hold its BindIndex replaces what its page
  // said before; anything else teaches nothing. True when the universes
  // the device outputs changed.
  bool Learn(const std::uint8_t* frame, std::size_t size);

  // A new device (another port, or the same one plugged in again): nothing
  // is known of it.
  void Forget();

  // Some page describes an output port. Until then (and for a device whose
  // replies describe none) every universe may be the device's.
  bool known() const { return output_ports_ > 0; }

  // Whether the device outputs `port_address` (its low 15 bits); true for
  // every address while nothing is known.
  bool Outputs(std::uint16_t port_address) const {
    return !known() || outputs_.test(port_address & (kPortAddresses - 1));
  }

  // The Port-Addresses it outputs, ascending, each once; empty while
  // nothing is known.
  std::vector<std::uint16_t> PortAddresses() const;

 private:
  // What one page (BindIndex) said of its output ports.
  struct Page {
    std::uint8_t outputs = 0;
    std::array<std::uint16_t, 4> port_addresses{};  // kPortsPerPollReply
    bool operator==(const Page& other) const {
      return outputs == other.outputs && port_addresses == other.port_addresses;
    }
  };

  std::array<Page, 256> pages_{};
  std::bitset<kPortAddresses> outputs_;
  std::size_t output_ports_ = 0;
};

#endif  // ARTNET_ARTNET_DEVICE_OUTPUTS_H_
