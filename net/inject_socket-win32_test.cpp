#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "net/inject_socket.h"

namespace {

// A UDP socket on port 6454 of a loopback address of its own (127.x.y.z), so
// that runs side by side never share one.
SOCKET ListenOnArtNetPort(in_addr& address) {
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 20; ++attempt) {
    const SOCKET listener = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(6454);
    at.sin_addr.s_addr = htonl(0x7F000000u | (random() % 0xFFFFFEu + 1));
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
      address = at.sin_addr;
      return listener;
    }
    closesocket(listener);
  }
  return INVALID_SOCKET;
}

// Frames of every size class the device reader hands over arrive at a UDP
// socket on port 6454 as one datagram each, byte for byte, from the same
// address, port 6454. Under Wine, Winsock's sockets are the host's own: the
// datagram crosses the Linux IP stack, which drops it on a bad UDP checksum.
TEST(InjectSocketWin32, FramesReachAUdpSocketOnTheArtNetPort) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const NativeSocket inject = CreateInjectSocket();
  if (inject == kInvalidSocket) {
    GTEST_SKIP() << "raw sockets need administrator rights here (code " << WSAGetLastError() << ")";
  }
  in_addr address{};
  const SOCKET listener = ListenOnArtNetPort(address);
  ASSERT_NE(listener, INVALID_SOCKET);

  for (std::size_t length : {4u, 241u, 997u, 1502u, 2047u}) {
    std::vector<std::uint8_t> frame(length);
    for (std::size_t i = 0; i < length; ++i) frame[i] = static_cast<std::uint8_t>(i * 13 + length);
    frame[length - 2] = '\r';
    frame[length - 1] = '\n';
    EXPECT_EQ(SendLocalDatagram(inject, address.s_addr, address.s_addr, frame.data(), length),
              static_cast<int>(length + 28));

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval deadline{10, 0};
    ASSERT_EQ(select(0, &readable, nullptr, nullptr, &deadline), 1) << "nothing arrived, length " << length;
    char received[4096];
    sockaddr_in from{};
    int from_size = sizeof from;
    const int count = recvfrom(listener, received, sizeof received, 0,
                               reinterpret_cast<sockaddr*>(&from), &from_size);
    ASSERT_EQ(count, static_cast<int>(length));
    EXPECT_EQ(std::memcmp(received, frame.data(), length), 0) << length;
    EXPECT_EQ(from.sin_addr.s_addr, address.s_addr);
    EXPECT_EQ(ntohs(from.sin_port), 6454);
  }
  closesocket(listener);
  closesocket(static_cast<SOCKET>(inject));
}

}  // namespace
