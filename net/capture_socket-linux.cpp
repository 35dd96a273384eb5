// Linux has no receive-all raw socket. A packet socket plays its part: opened
// for every protocol (ETH_P_ALL, since one opened for ETH_P_IP never sees the
// packets the host sends) with SOCK_DGRAM, so that each packet starts at its
// IPv4 header, and a kernel filter that keeps IPv4 on the captured interfaces.
#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/console.h"
#include "net/capture_filter.h"
#include "net/capture_loop.h"
#include "net/capture_socket-linux.h"
#include "net/capture_socket.h"

namespace {

sock_filter Statement(int code, std::uint32_t k) { return {static_cast<std::uint16_t>(code), 0, 0, k}; }

sock_filter Jump(int code, std::uint32_t k, std::uint8_t if_true, std::uint8_t if_false) {
  return {static_cast<std::uint16_t>(code), if_true, if_false, k};
}

// Loads one of the kernel's facts about the packet (SKF_AD_*) instead of a
// packet byte.
sock_filter LoadAncillary(int field) {
  return Statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + field));
}

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

// The kernel's twin of MatchArtNet, so that the capture thread wakes only for
// packets it may keep. MatchArtNet still decides on every packet.
std::vector<sock_filter> ArtNetFilter() {
  std::vector<sock_filter> program;
  for (const BpfInstruction& instruction : ArtNetCaptureFilter()) {
    program.push_back({instruction.code, instruction.jt, instruction.jf, instruction.k});
  }
  return program;
}

bool AttachFilter(int fd, const std::vector<sock_filter>& program) {
  const sock_fprog filter{static_cast<unsigned short>(program.size()),
                          const_cast<sock_filter*>(program.data())};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
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

std::vector<sock_filter> InterfaceFilter(const std::vector<CapturedInterface>& interfaces,
                                         const std::vector<sock_filter>& rest) {
  // Layout: the IPv4 test, one comparison per interface, one block per
  // interface, the rejection, then `rest`. Jumps count from the next
  // instruction.
  const std::size_t compare_at = 3;
  std::vector<std::size_t> block_at;
  std::size_t at = compare_at + interfaces.size();
  for (const CapturedInterface& interface : interfaces) {
    block_at.push_back(at);
    at += interface.skip_outgoing ? 2 : 1;
  }
  const std::size_t reject_at = at;
  const std::size_t accept_at = reject_at + 1;
  auto jump = [](std::size_t from, std::size_t to) { return static_cast<std::uint8_t>(to - from - 1); };

  std::vector<sock_filter> program;
  program.push_back(LoadAncillary(SKF_AD_PROTOCOL));
  program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, jump(1, reject_at)));
  program.push_back(LoadAncillary(SKF_AD_IFINDEX));
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const std::size_t pc = compare_at + i;
    const bool last = i + 1 == interfaces.size();
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(interfaces[i].index),
                               jump(pc, block_at[i]), last ? jump(pc, reject_at) : 0));
  }
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const std::size_t pc = block_at[i];
    if (interfaces[i].skip_outgoing) {
      program.push_back(LoadAncillary(SKF_AD_PKTTYPE));
      program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, jump(pc + 1, reject_at),
                                 jump(pc + 1, accept_at)));
    } else {
      program.push_back(Statement(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(accept_at - pc - 1)));
    }
  }
  program.push_back(Statement(BPF_RET | BPF_K, 0));
  program.insert(program.end(), rest.begin(), rest.end());
  return program;
}

LocalAddress GetLocalIPv4() {
  char name[256];
  if (gethostname(name, sizeof name) != 0) return 0;
  name[sizeof name - 1] = '\0';
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  // Only the list counts: a failed look-up leaves it empty.
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) list = nullptr;
  if (list == nullptr) return 0;
  const LocalAddress address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(list);
  return address;
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

  // The equivalent of binding to the address: without an interface holding
  // it, set-up fails without a message.
  const std::vector<CapturedInterface> interfaces = InterfacesToCapture(address);
  // Should the kernel refuse the Art-Net part, the bridge still works: it is
  // only woken for every packet of the captured interfaces.
  const bool filtered =
      !interfaces.empty() &&
      (AttachFilter(fd, InterfaceFilter(interfaces, ArtNetFilter())) ||
       AttachFilter(fd, InterfaceFilter(interfaces, {Statement(BPF_RET | BPF_K, kBpfKeepWholePacket)})));
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
