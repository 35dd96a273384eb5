// Linux has no receive-all raw socket. A packet socket plays its part: opened
// for every protocol (ETH_P_ALL, since one opened for ETH_P_IP never sees the
// packets the host sends) with SOCK_DGRAM, so that each packet starts at its
// IPv4 header, and a kernel filter that keeps IPv4 on the captured interfaces.
// An rtnetlink socket tells of links, addresses and routes as they change, so
// that the filter follows the host's address to the interfaces that hold it.
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "console/console.h"
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

// While no interface holds the host's address, the host name is looked up
// again this often: it may come to resolve to a held address with no change
// that rtnetlink tells of (an edited hosts file, a name server's answer).
constexpr int kLookAgainMs = 1000;

bool IsLoopback(LocalAddress address) { return (ntohl(address) >> 24) == 127; }

// The interfaces whose traffic the bridge sees. A host name usually resolves
// to the address of the network interface, and that interface is captured,
// as the Windows build captures the interface it binds to. The host's own
// traffic to that address never crosses it: Linux carries it over the
// loopback interface, where it is taken once (coming in) and only when it
// goes to that address, as a socket bound to the address sees it. Linux hosts
// often resolve their own name to a loopback address (127.0.0.1, or Debian's
// 127.0.1.1), and the loopback interface carries none of the traffic that
// lighting software exchanges with the network: the interface of the default
// route is captured beside it. Empty when no interface holds the address.
std::vector<CapturedInterface> InterfacesToCapture(LocalAddress address) {
  std::vector<CapturedInterface> interfaces;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return interfaces;
  int loopback_index = 0;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const bool loopback_interface = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    if (loopback_interface && loopback_index == 0) {
      loopback_index = static_cast<int>(if_nametoindex(entry->ifa_name));
    }
    if (!interfaces.empty() || entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    const LocalAddress held = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (IsLoopback(address) ? loopback_interface : held == address) {
      const int index = static_cast<int>(if_nametoindex(entry->ifa_name));
      if (index > 0) interfaces.push_back({index, loopback_interface});
    }
  }
  freeifaddrs(list);
  if (interfaces.empty()) return interfaces;

  if (IsLoopback(address)) {
    std::ifstream file("/proc/net/route");
    std::stringstream table;
    table << file.rdbuf();
    const std::string name = DefaultRouteInterface(table.str());
    const int index = name.empty() ? 0 : static_cast<int>(if_nametoindex(name.c_str()));
    if (index > 0 && index != interfaces[0].index) interfaces.push_back({index, false});
  } else if (!interfaces[0].skip_outgoing && loopback_index > 0) {
    interfaces.push_back({loopback_index, true, address});
  }
  return interfaces;
}

// Attaches the capture program for `interfaces`; should the kernel refuse
// the Art-Net part, the bridge still works, only woken for every packet of
// the captured interfaces.
bool AttachProgramFor(int fd, const std::vector<CapturedInterface>& interfaces) {
  return AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, true)) ||
         AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, false));
}

// Looks the host name up again and attaches the program that captures its
// address. Returns the address when an interface holds it; 0 when none does,
// and the program attached then drops every packet (or, should the kernel
// refuse every program, the last one stays).
LocalAddress FollowHostAddress(int fd) {
  const LocalAddress address = GetLocalIPv4();
  const std::vector<CapturedInterface> interfaces =
      address == 0 ? std::vector<CapturedInterface>{} : InterfacesToCapture(address);
  if (!AttachProgramFor(fd, interfaces) || interfaces.empty()) return 0;
  return address;
}

// An rtnetlink socket on the notices of links, IPv4 addresses and IPv4
// routes (the default route names an interface for a loopback host name).
// Joining these groups needs no right. Non-blocking; -1 when it cannot be
// opened.
int OpenChangeNotices() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

enum class Notices { kNone, kChanged, kBroken };

// Reads every notice waiting on `fd`. What they say is not looked at: any
// of them may move the host's address, and looking it up again is cheap.
Notices DrainChangeNotices(int fd) {
  bool changed = false;
  std::uint8_t buffer[8192];
  for (;;) {
    const ssize_t count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count >= 0) {
      changed = true;
      continue;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return changed ? Notices::kChanged : Notices::kNone;
    // The socket's buffer overflowed: notices were lost, so something changed.
    if (error == ENOBUFS) {
      changed = true;
      continue;
    }
    return Notices::kBroken;
  }
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

  // Opened before the interfaces are looked at, so that no change after the
  // look goes unnoticed. Without it the bridge captures what it finds now.
  const int changes = OpenChangeNotices();
  // The equivalent of binding to the address: without an interface holding
  // it, set-up fails without a message.
  const std::vector<CapturedInterface> interfaces = InterfacesToCapture(address);
  const bool filtered = !interfaces.empty() && AttachProgramFor(fd, interfaces);
  // Bound to every interface, not to one: a socket bound to an interface
  // fails its next receive (ENETDOWN) when the interface goes down, which
  // would end the capture on a cable pulled for a moment, and never sees the
  // interface that replaces it. The filter picks the interfaces instead.
  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);
  all.sll_ifindex = 0;
  if (!filtered || bind(fd, reinterpret_cast<const sockaddr*>(&all), sizeof all) != 0) {
    close(fd);
    if (changes >= 0) close(changes);
    socket_ = kInvalidSocket;
    return;
  }
  changes_ = changes < 0 ? kInvalidSocket : changes;
  capturing_ = true;
  address_.store(address, std::memory_order_relaxed);
  WriteMessage(Message::InitCompleted);
}

CaptureReceive CaptureSocket::Receive(std::uint8_t* buffer, std::size_t capacity) {
  for (;;) {
    // poll passes over a negative descriptor: without notices only packets wake it.
    pollfd ready[2] = {{static_cast<int>(socket_), POLLIN, 0}, {static_cast<int>(changes_), POLLIN, 0}};
    const int count = poll(ready, 2, capturing_ ? -1 : kLookAgainMs);
    if (count < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(error)};
    }
    bool look = count == 0;
    if (ready[1].revents != 0) {
      const Notices notices = DrainChangeNotices(static_cast<int>(changes_));
      look = look || notices != Notices::kNone;
      if (notices == Notices::kBroken) {
        // It would wake the thread for ever: the capture goes on as it is.
        close(static_cast<int>(changes_));
        changes_ = kInvalidSocket;
      }
    }
    if (look) {
      const LocalAddress followed = FollowHostAddress(static_cast<int>(socket_));
      capturing_ = followed != 0;
      if (capturing_) address_.store(followed, std::memory_order_relaxed);
    }
    // A packet queued before a change was captured by the program then in
    // place, as it should have been.
    if (ready[0].revents != 0) return ReceiveCaptured(socket_, buffer, capacity);
  }
}

CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity) {
  for (;;) {
    // MSG_TRUNC makes recv return the packet's real length: a packet socket
    // otherwise hands over the first `capacity` bytes as if that were all.
    const ssize_t count = recv(static_cast<int>(socket), buffer, capacity, MSG_TRUNC);
    if (count >= 0) {
      // A packet socket hands over the link frame's payload, padding and
      // all; only the IPv4 packet goes on, as from a raw IPv4 socket. Its
      // total-length field, bytes 2 and 3, is in the buffer when it exists.
      const auto received = static_cast<std::size_t>(count);
      const std::size_t length = capacity >= 4 ? IPv4PacketLength(buffer, received) : received;
      if (length > capacity) return {CaptureReceive::Result::kTooLarge, 0, 0};
      return {CaptureReceive::Result::kPacket, length, 0};
    }
    const int error = errno;
    if (error == EINTR) continue;
    return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(error)};
  }
}
