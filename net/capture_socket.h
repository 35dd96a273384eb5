// The network side's endpoints: the host's own address, and the socket that
// sees every IPv4 packet the host sends or receives.
#ifndef ARTNET_NET_CAPTURE_SOCKET_H_
#define ARTNET_NET_CAPTURE_SOCKET_H_

#include <cstdint>

#include "serial/serial_port.h"

// A socket (Winsock SOCKET or Linux file descriptor) held as an integer.
using NativeSocket = std::intptr_t;
// INVALID_SOCKET on Windows, -1 on Linux: both are all bits set.
constexpr NativeSocket kInvalidSocket = -1;

// The host's IPv4 address in network byte order, as in a sockaddr_in's
// sin_addr; 0 when there is none.
using LocalAddress = std::uint32_t;

// The first IPv4 address the host's own name resolves to, or 0. No messages.
LocalAddress GetLocalIPv4();

// Owns the capture socket for the life of the program.
class CaptureSocket {
 public:
  // Starts the socket library and opens the capture socket on the host's
  // address. Writes WinsockLoadFailed or NeedAdministrator when those steps
  // fail, and InitCompleted once every packet of the host can be seen. On
  // failure socket() stays kInvalidSocket. Main thread, once.
  void Init();

  NativeSocket socket() const { return socket_; }

 private:
  NativeSocket socket_ = kInvalidSocket;
};

// The network-to-device direction, the capture thread's body: receives every
// captured packet and writes the Art-Net ones the device is to see
// (MatchArtNet) to it. Packets too large for the receive buffer are dropped.
// Any other receive failure writes CommunicationError and returns, ending the
// direction for good.
void CaptureLoop(const CaptureSocket& capture, DeviceHandle device);

#endif  // ARTNET_NET_CAPTURE_SOCKET_H_
