// Linux has no receive-all raw socket. A packet socket plays its part: opened
// for every protocol (ETH_P_ALL, since one opened for ETH_P_IP never sees the
// packets the host sends) with SOCK_DGRAM, so that each packet starts at its
// IPv4 header, and a kernel filter that keeps IPv4 on the captured interfaces.
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/console.h"
#include "net/artnet_bpf.h"
#include "net/capture_socket-linux.h"
#include "net/capture_socket.h"
#include "net/local_address.h"

// The portable programs must mean to the kernel what they mean to their tests.
static_assert(sizeof(BpfInstruction) == sizeof(sock_filter));
static_assert(offsetof(BpfInstruction, code) == offsetof(sock_filter, code));
static_assert(offsetof(BpfInstruction, jt) == offsetof(sock_filter, jt));
static_assert(offsetof(BpfInstruction, jf) == offsetof(sock_filter, jf));
static_assert(offsetof(BpfInstruction, k) == offsetof(sock_filter, k));
static_assert(bpf::kLd == BPF_LD && bpf::kLdx == BPF_LDX && bpf::kSt == BPF_ST &&
              bpf::kAlu == BPF_ALU && bpf::kJmp == BPF_JMP && bpf::kRet == BPF_RET &&
              bpf::kMisc == BPF_MISC);
static_assert(bpf::kW == BPF_W && bpf::kH == BPF_H && bpf::kB == BPF_B);
static_assert(bpf::kAbs == BPF_ABS && bpf::kInd == BPF_IND && bpf::kMem == BPF_MEM &&
              bpf::kLen == BPF_LEN && bpf::kMsh == BPF_MSH);
static_assert(bpf::kSub == BPF_SUB && bpf::kJa == BPF_JA && bpf::kJeq == BPF_JEQ &&
              bpf::kJgt == BPF_JGT);
static_assert(bpf::kK == BPF_K && bpf::kX == BPF_X && bpf::kTax == BPF_TAX && bpf::kTxa == BPF_TXA);
static_assert(bpf::kAncillary == static_cast<std::uint32_t>(SKF_AD_OFF) &&
              bpf::kAncillaryProtocol == SKF_AD_PROTOCOL &&
              bpf::kAncillaryPacketType == SKF_AD_PKTTYPE &&
              bpf::kAncillaryInterface == SKF_AD_IFINDEX);
static_assert(bpf::kPacketOutgoing == PACKET_OUTGOING && bpf::kEtherTypeIPv4 == ETH_P_IP);

namespace {

bool IsLoopback(LocalAddress address) { return (ntohl(address) >> 24) == 127; }

// The interfaces whose traffic the bridge sees. A host name usually resolves
// to the address of the network interface, and that interface is captured,
// as the Windows build captures the interface it binds to. Linux hosts often
// resolve their own name to a loopback address (127.0.0.1, or Debian's
// 127.0.1.1), and the loopback interface carries none of the traffic that
// lighting software exchanges with the network: the interface of the default
// route is captured beside it. Empty when no interface holds the address.
std::vector<CapturedInterface> InterfacesToCapture(LocalAddress address) {
  std::vector<CapturedInterface> interfaces;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return interfaces;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const bool loopback_interface = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    const LocalAddress held = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (IsLoopback(address) ? loopback_interface : held == address) {
      const int index = static_cast<int>(if_nametoindex(entry->ifa_name));
      if (index > 0) interfaces.push_back({index, loopback_interface});
      break;
    }
  }
  freeifaddrs(list);

  if (IsLoopback(address) && !interfaces.empty()) {
    std::ifstream file("/proc/net/route");
    std::stringstream table;
    table << file.rdbuf();
    const std::string name = DefaultRouteInterface(table.str());
    const int index = name.empty() ? 0 : static_cast<int>(if_nametoindex(name.c_str()));
    if (index > 0 && index != interfaces[0].index) interfaces.push_back({index, false});
  }
  return interfaces;
}

}  // namespace

std::string DefaultRouteInterface(std::string_view route_table) {
  std::istringstream lines{std::string(route_table)};
  std::string line;
  std::getline(lines, line);  // The column titles.
  std::string best;
  unsigned long best_metric = 0;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, flags, references, use, metric, mask;
    if (!(fields >> name >> destination >> gateway >> flags >> references >> use >> metric >> mask)) {
      continue;
    }
    constexpr unsigned long kRouteUp = 0x1;  // RTF_UP
    const bool up = (std::strtoul(flags.c_str(), nullptr, 16) & kRouteUp) != 0;
    if (!up || std::strtoul(destination.c_str(), nullptr, 16) != 0 ||
        std::strtoul(mask.c_str(), nullptr, 16) != 0) {
      continue;
    }
    const unsigned long value = std::strtoul(metric.c_str(), nullptr, 10);
    if (best.empty() || value < best_metric) {
      best = name;
      best_metric = value;
    }
  }
  return best;
}

bool AttachCaptureProgram(int fd, const std::vector<BpfInstruction>& program) {
  if (program.empty()) return false;
  // The kernel copies the program, so it need not outlive this call.
  const sock_fprog filter{static_cast<unsigned short>(program.size()),
                          reinterpret_cast<sock_filter*>(const_cast<BpfInstruction*>(program.data()))};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

void CaptureSocket::Init() {
  const LocalAddress address = GetLocalIPv4();
  if (address == 0) return;

  // Opened for no protocol, the socket receives nothing until bind names one,
  // so no packet gets in before the filter is in place.
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    WriteMessage(Message::NeedAdministrator, static_cast<std::uint32_t>(errno));
    return;
  }
  socket_ = fd;

  // Packets wait in the socket's receive buffer while the capture thread
  // writes to the device or waits for a processor. A packet socket charges
  // each packet its whole kernel buffer (over 2 KB for a 530-byte ArtDmx), so
  // the default of about 200 KB holds under 100 packets: a few milliseconds
  // of a busy controller, and a short stall of the thread would lose Art-Net
  // packets. Root may go past the system's limit (SO_RCVBUFFORCE); otherwise
  // the limit caps the request. Either way the bridge works, so failures are
  // not reported.
  constexpr int kReceiveBufferBytes = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  }

  // The equivalent of binding to the address: without an interface holding
  // it, set-up fails without a message.
  const std::vector<CapturedInterface> interfaces = InterfacesToCapture(address);
  // Should the kernel refuse the Art-Net part, the bridge still works: it is
  // only woken for every packet of the captured interfaces.
  const bool filtered =
      !interfaces.empty() &&
      (AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, true)) ||
       AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, false)));
  // Bound to every interface, not to one: a socket bound to an interface
  // fails its next receive (ENETDOWN) when the interface goes down, which
  // would end the capture on a cable pulled for a moment. The filter picks
  // the interfaces instead.
  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);
  all.sll_ifindex = 0;
  if (!filtered || bind(fd, reinterpret_cast<const sockaddr*>(&all), sizeof all) != 0) {
    close(fd);
    socket_ = kInvalidSocket;
    return;
  }
  WriteMessage(Message::InitCompleted);
}

CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity) {
  for (;;) {
    // MSG_TRUNC makes recv return the packet's real length: a packet socket
    // otherwise hands over the first `capacity` bytes as if that were all.
    const ssize_t count = recv(static_cast<int>(socket), buffer, capacity, MSG_TRUNC);
    if (count >= 0) {
      if (static_cast<std::size_t>(count) > capacity) return {CaptureReceive::Result::kTooLarge, 0, 0};
      return {CaptureReceive::Result::kPacket, static_cast<std::size_t>(count), 0};
    }
    const int error = errno;
    if (error == EINTR) continue;
    return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(error)};
  }
}
