#include "artnet/device_outputs.h"

#include <cstring>

#include "app/artnet.h"

namespace {

constexpr std::uint16_t kOpPollReply = 0x2100;
// ArtPollReply: NetSwitch and SubSwitch, the four PortTypes and SwOut, and
// BindIndex, the last field read.
constexpr std::size_t kNetSwitch = 18;
constexpr std::size_t kSubSwitch = 19;
constexpr std::size_t kPortTypes = 174;
constexpr std::size_t kSwOut = 190;
constexpr std::size_t kBindIndex = 211;
constexpr std::uint8_t kPortOutputs = 0x80;  // PortTypes bit 7: DMX out of Art-Net.
// ArtDmx and ArtNzs: SubUni and Net at 14 and 15, Length up to 17.
constexpr std::uint16_t kOpDmx = 0x5000;
constexpr std::uint16_t kOpNzs = 0x5100;
constexpr std::size_t kSubUni = 14;
constexpr std::size_t kDmxHeaderSize = 18;

}  // namespace

bool DeviceOutputs::Learn(const std::uint8_t* frame, std::size_t size) {
  // The serial link ends each frame with CR LF, which is not the reply's.
  if (size >= 2 && frame[size - 2] == '\r' && frame[size - 1] == '\n') size -= 2;
  if (size <= kBindIndex || std::memcmp(frame, kArtNetId, sizeof kArtNetId) != 0) return false;
  if ((frame[kArtNetOpCodeOffset] | frame[kArtNetOpCodeOffset + 1] << 8) != kOpPollReply) return false;

  Page page;
  const std::uint16_t net_and_sub_net =
      static_cast<std::uint16_t>((frame[kNetSwitch] & 0x7F) << 8 | (frame[kSubSwitch] & 0x0F) << 4);
  // NumPorts is not read: the ports are those PortTypes marks, as Art-Net
  // has it, and an output counted too many only costs wire time, where one
  // missed would leave a universe dark.
  for (std::size_t port = 0; port < 4; ++port) {
    if ((frame[kPortTypes + port] & kPortOutputs) == 0) continue;
    page.port_addresses[page.outputs++] =
        static_cast<std::uint16_t>(net_and_sub_net | (frame[kSwOut + port] & 0x0F));
  }
  // BindIndex 0 comes from devices older than pages, whose one reply is
  // their root's, page 1.
  Page& old = pages_[frame[kBindIndex] == 0 ? 1 : frame[kBindIndex]];
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

bool DmxPortAddress(const std::uint8_t* packet, std::size_t size, std::uint16_t* port_address) {
  if (size < kDmxHeaderSize || std::memcmp(packet, kArtNetId, sizeof kArtNetId) != 0) return false;
  const int opcode = packet[kArtNetOpCodeOffset] | packet[kArtNetOpCodeOffset + 1] << 8;
  if (opcode != kOpDmx && opcode != kOpNzs) return false;
  *port_address = static_cast<std::uint16_t>((packet[kSubUni] | packet[kSubUni + 1] << 8) & 0x7FFF);
  return true;
}
