// Linux has no receive-all raw socket. A packet socket plays its part: opened
// for every protocol (ETH_P_ALL, since one opened for ETH_P_IP never sees the
// packets the host sends) with SOCK_DGRAM, so that each packet starts at its
// IPv4 header, and a kernel filter that keeps IPv4 on the captured interfaces
// (CapturedInterfacesFor). rtnetlink tells of links and addresses as they
// change (net/adapters-linux.cpp), and the filter follows them.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

#include "console/console.h"
#include "net/adapters.h"
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

// While the host name's address is not captured, the name is looked up again
// this often: it may come to resolve to a held address with no change that
// rtnetlink tells of (an edited hosts file, a name server's answer).
constexpr int kLookAgainMs = 1000;

// Attaches the capture program for `interfaces`; should the kernel refuse
// the Art-Net part, the bridge still works, only woken for every packet of
// the captured interfaces.
bool AttachProgramFor(int fd, const std::vector<CapturedInterface>& interfaces) {
  return AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, true)) ||
         AttachCaptureProgram(fd, CaptureBpfProgram(interfaces, false));
}

bool SameInterfaces(const std::vector<CapturedInterface>& a, const std::vector<CapturedInterface>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].index != b[i].index || a[i].skip_outgoing != b[i].skip_outgoing ||
        a[i].destinations != b[i].destinations || a[i].outgoing_sources != b[i].outgoing_sources) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct CaptureSocket::Platform {
  int fd = -1;
  ChangeNotices changes = kNoChangeNotices;
  // What the program in place captures.
  std::vector<CapturedInterface> interfaces;
  // Whether the host name's address is one the capture holds (or a loopback
  // one); while it is not, the name is looked up again once a second.
  bool name_held = false;
};

CaptureSocket::CaptureSocket() : platform_(std::make_unique<Platform>()) {}
CaptureSocket::~CaptureSocket() = default;

bool AttachCaptureProgram(int fd, const std::vector<BpfInstruction>& program) {
  if (program.empty()) return false;
  // The kernel copies the program, so it need not outlive this call.
  const sock_fprog filter{static_cast<unsigned short>(program.size()),
                          reinterpret_cast<sock_filter*>(const_cast<BpfInstruction*>(program.data()))};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

void CaptureSocket::Init() {
  const LocalAddress host = GetLocalIPv4();
  if (host == 0) return;

  // Opened for no protocol, the socket receives nothing until bind names one,
  // so no packet gets in before the filter is in place.
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    WriteMessage(Message::NeedAdministrator, static_cast<std::uint32_t>(errno));
    return;
  }

  // Packets wait in the socket's receive buffer while the capture thread
  // waits for a processor. A packet socket charges each packet its whole
  // kernel buffer (over 2 KB for a 530-byte ArtDmx), so the default of about
  // 200 KB holds under 100 packets: a few milliseconds of a busy controller,
  // and a short stall of the thread would lose Art-Net packets. Root may go
  // past the system's limit (SO_RCVBUFFORCE); otherwise the limit caps the
  // request. Either way the bridge works, so failures are not reported.
  constexpr int kReceiveBufferBytes = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  }

  // Opened before the adapters are listed, so that no change after the
  // listing goes unnoticed. Without it the bridge captures what it finds now.
  const ChangeNotices changes = OpenChangeNotices();
  const std::vector<AdapterAddress> found = ListAdapterAddresses();
  std::vector<AdapterAddress> captured = AddressesToCapture(found);
  // The equivalent of binding to the host name's address: without an
  // adapter holding it, set-up fails without a message.
  const std::vector<CapturedInterface> interfaces = CapturedInterfacesFor(found, captured, host);
  const bool filtered = HostAddressIsHeld(host, captured) && AttachProgramFor(fd, interfaces);
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
    if (changes != kNoChangeNotices) close(static_cast<int>(changes));
    return;
  }
  platform_->fd = fd;
  platform_->changes = changes;
  platform_->interfaces = interfaces;
  platform_->name_held = true;
  Publish(host, std::move(captured));
  ready_ = true;
  WriteMessage(Message::InitCompleted);
}

CaptureReceive CaptureSocket::Receive(std::uint8_t* buffer, std::size_t capacity) {
  Platform& p = *platform_;
  for (;;) {
    // poll passes over a negative descriptor: without notices only packets wake it.
    pollfd ready[2] = {{p.fd, POLLIN, 0}, {static_cast<int>(p.changes), POLLIN, 0}};
    const int count = poll(ready, 2, p.name_held ? -1 : kLookAgainMs);
    if (count < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(error)};
    }
    bool look = count == 0;
    if (ready[1].revents != 0) {
      const Notices notices = DrainChangeNotices(p.changes);
      look = look || notices != Notices::kNone;
      if (notices == Notices::kBroken) {
        // It would wake the thread for ever: the capture goes on as it is.
        close(static_cast<int>(p.changes));
        p.changes = kNoChangeNotices;
      }
    }
    if (look) {
      // The host name's last address stays while the name resolves to none.
      const LocalAddress resolved = GetLocalIPv4();
      const LocalAddress host = resolved != 0 ? resolved : address();
      const std::vector<AdapterAddress> found = ListAdapterAddresses();
      std::vector<AdapterAddress> captured = AddressesToCapture(found);
      p.name_held = resolved != 0 && HostAddressIsHeld(resolved, captured);
      const std::vector<CapturedInterface> interfaces = CapturedInterfacesFor(found, captured, host);
      // Should the kernel refuse every program, the last one stays.
      if (!SameInterfaces(interfaces, p.interfaces) && AttachProgramFor(p.fd, interfaces)) {
        p.interfaces = interfaces;
      }
      Publish(host, std::move(captured));
    }
    // A packet queued before a change was captured by the program then in
    // place, as it should have been.
    if (ready[0].revents != 0) return ReceiveCaptured(p.fd, buffer, capacity);
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
