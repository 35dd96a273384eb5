#include "net/capture_socket-linux.h"

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

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/capture_loop.h"
#include "net/capture_socket.h"

namespace {

// The real receive on datagram sockets, which report lengths as a packet
// socket does: a packet longer than the buffer is reported as too large
// (never handed over cut short), the next one arrives whole, and a receive on
// a socket that is gone fails with its errno.
TEST(CaptureSocketLinux, ReceiveReportsTooLargePacketsAndFailures) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  std::vector<std::uint8_t> big(3000, 0xAB), exact(2048, 0xCD), small(100);
  for (std::size_t i = 0; i < small.size(); ++i) small[i] = static_cast<std::uint8_t>(i);
  for (const auto* packet : {&big, &exact, &small}) {
    ASSERT_EQ(send(pair[1], packet->data(), packet->size(), 0), static_cast<ssize_t>(packet->size()));
  }
  std::uint8_t buffer[kCaptureBufferSize];
  CaptureReceive received = ReceiveCaptured(pair[0], buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kTooLarge);
  received = ReceiveCaptured(pair[0], buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kPacket);
  EXPECT_EQ(received.size, 2048u);
  received = ReceiveCaptured(pair[0], buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kPacket);
  ASSERT_EQ(received.size, 100u);
  EXPECT_EQ(std::memcmp(buffer, small.data(), small.size()), 0);


  // A packet socket hands over padded frames: the IPv4 packet goes on alone,
  // its total length (bytes 2 and 3) the bound, what arrived the limit.
  const struct {
    std::size_t sent;
    std::uint16_t total_length;
    CaptureReceive::Result result;
    std::size_t size;
  } padded[] = {
      {46, 42, CaptureReceive::Result::kPacket, 42},  // A 14-byte ArtPoll in a 60-byte frame.
      {46, 38, CaptureReceive::Result::kPacket, 38},  // A 10-byte one.
      {46, 46, CaptureReceive::Result::kPacket, 46},
      {46, 1500, CaptureReceive::Result::kPacket, 46},        // Claims more than came.
      {3000, 100, CaptureReceive::Result::kPacket, 100},      // The packet fits, the frame does not.
      {3000, 2049, CaptureReceive::Result::kTooLarge, 0},
      {3, 0, CaptureReceive::Result::kPacket, 3},  // No total length to read.
  };
  for (const auto& c : padded) {
    std::vector<std::uint8_t> frame(c.sent, 0);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(0x40 + i);
    if (frame.size() >= 4) {
      frame[2] = static_cast<std::uint8_t>(c.total_length >> 8);
      frame[3] = static_cast<std::uint8_t>(c.total_length);
    }
    ASSERT_EQ(send(pair[1], frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    received = ReceiveCaptured(pair[0], buffer, sizeof buffer);
    EXPECT_EQ(received.result, c.result) << c.sent << " bytes, total length " << c.total_length;
    EXPECT_EQ(received.size, c.size) << c.sent << " bytes, total length " << c.total_length;
    if (c.result == CaptureReceive::Result::kPacket) {
      EXPECT_EQ(std::memcmp(buffer, frame.data(), c.size), 0);
    }
  }

  close(pair[0]);
  close(pair[1]);
  received = ReceiveCaptured(pair[0], buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kFailed);
  EXPECT_EQ(received.error, static_cast<std::uint32_t>(EBADF));
}

// Counts the copies of one UDP datagram from 127.0.0.1 to itself that a
// packet socket with CaptureBpfProgram(interfaces) sees, in a network namespace
// of this thread's own. Returns -1 (and sets `skip`) without the rights.
int CopiesOfALoopbackDatagram(const std::vector<CapturedInterface>& interfaces_of_lo,
                              std::string& skip) {
  if (unshare(CLONE_NEWNET) != 0) {
    skip = std::string("no network namespace: ") + std::strerror(errno);
    return -1;
  }
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  ioctl(control, SIOCGIFFLAGS, &request);
  request.ifr_flags |= IFF_UP;
  if (ioctl(control, SIOCSIFFLAGS, &request) != 0) return -1;
  close(control);

  const int capture = socket(AF_PACKET, SOCK_DGRAM, 0);
  if (capture < 0) return -1;
  sockaddr_ll all{};
  all.sll_family = AF_PACKET;
  all.sll_protocol = htons(ETH_P_ALL);
  if (!AttachCaptureProgram(capture, CaptureBpfProgram(interfaces_of_lo, false)) ||
      bind(capture, reinterpret_cast<sockaddr*>(&all), sizeof all) != 0) {
    return -1;
  }

  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(6454);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(udp, reinterpret_cast<sockaddr*>(&to), sizeof to);
  const char payload[] = "Art-Net\0\0\x50";
  sendto(udp, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);

  // Once the datagram has reached its socket, every copy the capture
  // takes is queued: the stack hands a packet to packet sockets going out
  // before it goes, and coming in before it is delivered. So there is no
  // guessing how long a busy machine takes to pass them on.
  pollfd arrived{udp, POLLIN, 0};
  if (poll(&arrived, 1, 10000) != 1) return -1;
  int copies = 0;
  std::uint8_t buffer[kCaptureBufferSize];
  pollfd ready{capture, POLLIN, 0};
  while (poll(&ready, 1, 0) == 1) {
    const CaptureReceive received = ReceiveCaptured(capture, buffer, sizeof buffer);
    if (received.result != CaptureReceive::Result::kPacket) return -1;
    if (received.size == 28 + sizeof payload && buffer[0] == 0x45 &&
        std::memcmp(buffer + 28, payload, sizeof payload) == 0) {
      ++copies;
    }
  }
  close(udp);
  close(capture);
  return copies;
}

int CountInNamespace(const std::vector<CapturedInterface>& interfaces, std::string& skip) {
  int copies = -1;
  // Network namespaces belong to threads: the test's own thread keeps its own.
  std::thread([&] { copies = CopiesOfALoopbackDatagram(interfaces, skip); }).join();
  return copies;
}

// A fresh namespace's loopback interface is always index 1. The datagram
// goes to 127.0.0.1: taken where lo is captured for that destination, in the
// header's byte order, and not for another.
TEST(CaptureSocketLinux, CaptureProgramKeepsOneCopyOfLoopbackTraffic) {
  std::string skip;
  const int one_copy = CountInNamespace({{1, true}}, skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(one_copy, 1);
  EXPECT_EQ(CountInNamespace({{1, false}}, skip), 2);  // Outgoing and incoming.
  EXPECT_EQ(CountInNamespace({{7, false}, {1, true}}, skip), 1);
  EXPECT_EQ(CountInNamespace({{7, false}}, skip), 0);  // Another interface only.
  EXPECT_EQ(CountInNamespace({{7, false}, {1, true, {htonl(INADDR_LOOPBACK)}}}, skip), 1);
  EXPECT_EQ(CountInNamespace({{7, false}, {1, true, {htonl(INADDR_LOOPBACK + 1)}}}, skip), 0);
  EXPECT_EQ(CountInNamespace({{1, true, {htonl(0x0100007F)}}}, skip), 0);  // Byte order turned.
}

}  // namespace
