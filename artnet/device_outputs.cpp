#include "artnet/device_outputs.h"

#include "artnet/artnet.h"

bool DeviceOutputs::Learn(const std::uint8_t* frame, std::size_t size) {
  // The serial link ends each frame with CR LF, which is not the reply's.
  if (size >= 2 && frame[size - 2] == '\r' && frame[size - 1] == '\n') size -= 2;
  if (size <= kPollReplyBindIndexOffset || !IsArtNet(frame, size) || ArtNetOpCode(frame) != kOpPollReply) {
    return false;
  }

  Page page;
  const std::uint16_t net_and_sub_net = static_cast<std::uint16_t>(
      (frame[kPollReplyNetSwitchOffset] & 0x7F) << 8 | (frame[kPollReplySubSwitchOffset] & 0x0F) << 4);
  // NumPorts is not read: the ports are those PortTypes marks, as Art-Net
  // has it, and an output counted too many only costs wire time, where one
  // missed would leave a universe dark.
  for (std::size_t port = 0; port < kPortsPerPollReply; ++port) {
    if ((frame[kPollReplyPortTypesOffset + port] & kPortTypeOutput) == 0) continue;
    page.port_addresses[page.outputs++] =
        static_cast<std::uint16_t>(net_and_sub_net | (frame[kPollReplySwOutOffset + port] & 0x0F));
  }
  // BindIndex 0 comes from devices older than pages, whose one reply is
  // their root's, page 1.
  const std::uint8_t bind_index = frame[kPollReplyBindIndexOffset];
  Page& old = pages_[bind_index == 0 ? 1 : bind_index];
  if (page == old) return false;
  old = page;

  const std::bitset<kPortAddresses> before = outputs_;
  outputs_.reset();
  output_ports_ = 0;
  for (const Page& each : pages_) {
    for (std::size_t i = 0; i < each.outputs; ++i) outputs_.set(each.port_addresses[i]);
    output_ports_ += each.outputs;
  }
  return outputs_ != before;
}

void DeviceOutputs::Forget() {
  pages_.fill(Page{});
  outputs_.reset();
  output_ports_ = 0;
}

std::vector<std::uint16_t> DeviceOutputs::PortAddresses() const {
  std::vector<std::uint16_t> addresses;
  if (!known()) return addresses;
  for (std::size_t address = 0; address < kPortAddresses; ++address) {
    if (outputs_.test(address)) addresses.push_back(static_cast<std::uint16_t>(address));
  }
  return addresses;
}
