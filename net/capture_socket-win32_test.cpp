#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/capture_loop.h"

namespace {

// The real receive, on a UDP socket: Winsock reports a datagram longer than
// the buffer the way it reports such a captured packet (WSAEMSGSIZE), so it
// must come out as too large, with the next datagram received whole; a
// receive on a closed socket fails with the socket error code.
TEST(CaptureSocketWin32, ReceiveReportsTooLargePacketsAndFailures) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const SOCKET udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(udp, INVALID_SOCKET);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  int size = sizeof self;
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&self), &size), 0);

  std::vector<char> big(3000, 'x'), small(100);
  for (std::size_t i = 0; i < small.size(); ++i) small[i] = static_cast<char>(i);
  for (const auto* datagram : {&big, &small}) {
    ASSERT_EQ(sendto(udp, datagram->data(), static_cast<int>(datagram->size()), 0,
                     reinterpret_cast<sockaddr*>(&self), sizeof self),
              static_cast<int>(datagram->size()));
  }
  std::uint8_t buffer[kCaptureBufferSize];
  CaptureReceive received = ReceiveCaptured(static_cast<NativeSocket>(udp), buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kTooLarge);
  received = ReceiveCaptured(static_cast<NativeSocket>(udp), buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kPacket);
  ASSERT_EQ(received.size, small.size());
  EXPECT_EQ(std::memcmp(buffer, small.data(), small.size()), 0);

  closesocket(udp);
  received = ReceiveCaptured(static_cast<NativeSocket>(udp), buffer, sizeof buffer);
  EXPECT_EQ(received.result, CaptureReceive::Result::kFailed);
  EXPECT_EQ(received.error, static_cast<std::uint32_t>(WSAENOTSOCK));
}

}  // namespace
