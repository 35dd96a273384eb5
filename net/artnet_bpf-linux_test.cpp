#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "net/artnet_filter.h"
#include "net/artnet_bpf.h"
#include "net/capture_socket-linux.h"

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One packet sent through the kernel: its bytes, and whether the capture
// socket must see it. The UDP source port (which no filter looks at) tells
// the packets apart when they come back.
struct Case {
  std::string name;
  std::vector<std::uint8_t> bytes;
  bool keep;
};

constexpr std::uint16_t kFirstTag = 20000;

// An IPv4 packet from and to 127.0.0.1: `header_words` 32-bit words of header
// (the words past 5 are NOP options), a UDP (or `protocol`) header from port
// `tag` to `port`, and a payload of `payload_length` bytes that starts with
// the Art-Net ID and `opcode` where it has room for them. The kernel fills in
// the total length, identification and header checksum.
std::vector<std::uint8_t> IpPacket(std::uint16_t tag, std::size_t payload_length,
                                   std::uint16_t opcode = 0x5000, std::uint16_t port = 6454,
                                   int header_words = 5, std::uint8_t protocol = 17) {
  const std::size_t h = static_cast<std::size_t>(header_words) * 4;
  std::vector<std::uint8_t> packet(h + 8 + payload_length, 0);
  packet[0] = static_cast<std::uint8_t>(0x40 | header_words);
  packet[8] = 64;
  packet[9] = protocol;
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&packet[12], loopback, 4);
  std::memcpy(&packet[16], loopback, 4);
  for (std::size_t i = 20; i < h; ++i) packet[i] = 1;  // IPOPT_NOOP
  packet[h + 0] = static_cast<std::uint8_t>(tag >> 8);
  packet[h + 1] = static_cast<std::uint8_t>(tag);
  packet[h + 2] = static_cast<std::uint8_t>(port >> 8);
  packet[h + 3] = static_cast<std::uint8_t>(port);
  packet[h + 4] = static_cast<std::uint8_t>((8 + payload_length) >> 8);
  packet[h + 5] = static_cast<std::uint8_t>(8 + payload_length);
  // UDP checksum 0: none. Nothing on the way looks at it.
  std::uint8_t* payload = packet.data() + h + 8;
  for (std::size_t i = 0; i < payload_length; ++i) {
    const std::uint8_t art_net[10] = {'A', 'r', 't', '-', 'N', 'e', 't', 0,
                                      static_cast<std::uint8_t>(opcode),
                                      static_cast<std::uint8_t>(opcode >> 8)};
    payload[i] = i < 10 ? art_net[i] : static_cast<std::uint8_t>(i * 31);
  }
  return packet;
}

std::uint16_t TagOf(const std::uint8_t* packet, std::size_t size) {
  const std::size_t h = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (size < h + 2) return 0;
  return static_cast<std::uint16_t>((packet[h] << 8) | packet[h + 1]);
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  auto add = [&](std::string name, bool keep, auto... args) {
    const auto tag = static_cast<std::uint16_t>(kFirstTag + cases.size());
    cases.push_back({std::move(name), IpPacket(tag, args...), keep});
  };
  for (int words : {5, 6, 15}) {
    const std::string header = " (header " + std::to_string(words * 4) + ")";
    add("payload 9" + header, false, 9, 0x5000, 6454, words);
    add("payload 10" + header, true, 10, 0x5000, 6454, words);
    add("payload 530" + header, true, 530, 0x5000, 6454, words);
    add("payload 531" + header, false, 531, 0x5000, 6454, words);
    add("OpPoll" + header, true, 14, 0x2000, 6454, words);
    add("OpPollReply" + header, false, 239, 0x2100, 6454, words);
    add("OpSync" + header, false, 14, 0x5200, 6454, words);
    add("port 6455" + header, false, 18, 0x5000, 6455, words);
    add("TCP to 6454" + header, false, 18, 0x5000, 6454, words, 6);
  }
  auto bad_id = IpPacket(static_cast<std::uint16_t>(kFirstTag + cases.size()), 18);
  bad_id[20 + 8 + 3] = '_';
  cases.push_back({"Art_Net", bad_id, false});
  // Fragments, whose bytes after the IPv4 header look like UDP to 6454 and
  // the Art-Net ID: the first of a datagram, a middle and a last one. The
  // kernel sends the flags and offset as given.
  const struct {
    const char* name;
    std::uint16_t field;
    std::size_t payload;
  } fragments[] = {{"first fragment", 0x2000, 110},
                   {"middle fragment", 0x20B9, 30},
                   {"last fragment", 0x0172, 22},
                   {"Don't Fragment", 0x4000, 110}};
  for (const auto& fragment : fragments) {
    auto bytes = IpPacket(static_cast<std::uint16_t>(kFirstTag + cases.size()), fragment.payload);
    bytes[6] = static_cast<std::uint8_t>(fragment.field >> 8);
    bytes[7] = static_cast<std::uint8_t>(fragment.field);
    cases.push_back({fragment.name, bytes, (fragment.field & 0x3FFF) == 0});
  }
  return cases;
}

void BringUpLoopback() {
  Fd s(socket(AF_INET, SOCK_DGRAM, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  ASSERT_EQ(ioctl(s.get(), SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ASSERT_EQ(ioctl(s.get(), SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
}

// Sends every case through a raw socket on the namespace's loopback, then an
// end marker, and checks what a filtered packet socket on lo received. Runs on
// a thread that is already in its own network namespace.
void CheckKernelFilter(std::string* skip) {
  ASSERT_NO_FATAL_FAILURE(BringUpLoopback());

  // No protocol yet, so nothing is queued before the filter is on.
  Fd capture(socket(AF_PACKET, SOCK_DGRAM, 0));
  if (capture.get() < 0) {
    *skip = std::string("no packet socket: ") + std::strerror(errno);
    return;
  }
  ASSERT_TRUE(AttachCaptureProgram(capture.get(), ArtNetBpfProgram())) << std::strerror(errno);
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_ALL);
  where.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
  ASSERT_EQ(bind(capture.get(), reinterpret_cast<sockaddr*>(&where), sizeof where), 0)
      << std::strerror(errno);

  // IPPROTO_RAW implies IP_HDRINCL: every packet goes out with our header.
  Fd raw(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
  ASSERT_GE(raw.get(), 0) << std::strerror(errno);
  Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_GE(udp.get(), 0) << std::strerror(errno);
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::vector<Case> cases = Cases();
  for (const Case& c : cases) {
    // The test's own expectations must be MatchArtNet's.
    ASSERT_EQ(MatchArtNet(c.bytes.data(), c.bytes.size()).has_value(), c.keep) << c.name;
    ASSERT_EQ(sendto(raw.get(), c.bytes.data(), c.bytes.size(), 0,
                     reinterpret_cast<sockaddr*>(&loopback), sizeof loopback),
              static_cast<ssize_t>(c.bytes.size()))
        << c.name << ": " << std::strerror(errno);
  }
  // Ordinary UDP that the kernel's own stack builds: Art-Net to another port
  // is never seen; to 6454 it is, and ends the run (loopback keeps the order).
  const auto artnet = IpPacket(0, 18);
  const std::uint8_t* artnet_payload = artnet.data() + 28;
  loopback.sin_port = htons(6455);
  ASSERT_EQ(sendto(udp.get(), artnet_payload, 18, 0, reinterpret_cast<sockaddr*>(&loopback),
                   sizeof loopback),
            18);
  const auto end_tag = static_cast<std::uint16_t>(kFirstTag + cases.size());
  Fd end_udp(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(end_tag);
  ASSERT_EQ(bind(end_udp.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0)
      << std::strerror(errno);
  loopback.sin_port = htons(6454);
  ASSERT_EQ(sendto(end_udp.get(), artnet_payload, 18, 0, reinterpret_cast<sockaddr*>(&loopback),
                   sizeof loopback),
            18);

  // Each packet on lo passes the socket twice: going out, and coming in.
  std::map<std::uint16_t, int> outgoing;
  std::map<std::uint16_t, int> incoming;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (incoming[end_tag] == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{capture.get(), POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "the end marker never came";
      break;
    }
    std::uint8_t buffer[2048];
    sockaddr_ll source{};
    socklen_t source_size = sizeof source;
    // MSG_TRUNC: the packet's whole length, even past the buffer.
    const ssize_t n = recvfrom(capture.get(), buffer, sizeof buffer, MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&source), &source_size);
    ASSERT_GT(n, 0) << std::strerror(errno);
    ASSERT_LE(n, static_cast<ssize_t>(sizeof buffer));
    const std::uint16_t tag = TagOf(buffer, static_cast<std::size_t>(n));
    if (tag >= kFirstTag && tag < end_tag) {
      const Case& c = cases[tag - kFirstTag];
      // The kernel filled in the total length, identification and checksum;
      // everything from the UDP header on must be as sent, and whole.
      const std::size_t h = static_cast<std::size_t>(c.bytes[0] & 0x0F) * 4;
      ASSERT_EQ(static_cast<std::size_t>(n), c.bytes.size()) << c.name;
      EXPECT_EQ(std::memcmp(buffer + h, c.bytes.data() + h, c.bytes.size() - h), 0) << c.name;
    } else if (tag != end_tag) {
      ADD_FAILURE() << "a packet of " << n << " bytes from port " << tag << " got through";
    }
    ++(source.sll_pkttype == PACKET_OUTGOING ? outgoing : incoming)[tag];
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto tag = static_cast<std::uint16_t>(kFirstTag + i);
    const int expected = cases[i].keep ? 1 : 0;
    EXPECT_EQ(outgoing[tag], expected) << cases[i].name << ", going out";
    EXPECT_EQ(incoming[tag], expected) << cases[i].name << ", coming in";
  }
  EXPECT_EQ(outgoing[end_tag], 1);
}

// The filter in the real kernel, on the loopback of a network namespace that
// only this test's thread lives in: the namespace goes with the thread.
TEST(ArtNetBpf, KernelPassesWhatMatchArtNetKeepsAndNothingElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and raw sockets";
  std::string skip;
  std::thread namespace_thread([&skip] {
    // A network namespace belongs to the thread that unshares it.
    if (unshare(CLONE_NEWNET) != 0) {
      skip = std::string("cannot make a network namespace: ") + std::strerror(errno);
      return;
    }
    CheckKernelFilter(&skip);
  });
  namespace_thread.join();
  if (!skip.empty()) GTEST_SKIP() << skip;
}

}  // namespace
