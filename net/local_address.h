// The host's own IPv4 address, and sockets as portable code holds them.
#ifndef ARTNET_NET_LOCAL_ADDRESS_H_
#define ARTNET_NET_LOCAL_ADDRESS_H_

#include <cstdint>

// A socket (Winsock SOCKET or Linux file descriptor) held as an integer.
using NativeSocket = std::intptr_t;
// INVALID_SOCKET on Windows, -1 on Linux: both are all bits set.
constexpr NativeSocket kInvalidSocket = -1;

// The host's IPv4 address in network byte order, as in a sockaddr_in's
// sin_addr; 0 when there is none.
using LocalAddress = std::uint32_t;

// The first IPv4 address the host's own name resolves to, or 0 when the name
// cannot be read or does not resolve. On Windows the socket library must be
// started first (CaptureSocket::Init does). No messages; any thread.
LocalAddress GetLocalIPv4();

#endif  // ARTNET_NET_LOCAL_ADDRESS_H_
