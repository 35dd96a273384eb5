// The socket that sees every IPv4 packet the host sends or receives.
//
// Windows: a raw IPv4 socket bound to the host's address in receive-all mode.
// Linux: a packet socket whose kernel program keeps the IPv4 packets of the
// interfaces that carry the host's traffic (capture_socket-linux.cpp).
#ifndef ARTNET_NET_CAPTURE_SOCKET_H_
#define ARTNET_NET_CAPTURE_SOCKET_H_

#include <cstddef>
#include <cstdint>

#include "net/local_address.h"

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

// What one receive from the capture socket gave.
struct CaptureReceive {
  enum class Result {
    kPacket,    // `size` bytes of one packet, header first, are in the buffer.
    kTooLarge,  // The packet was longer than the buffer and was dropped.
    kFailed,    // The receive failed; `error` is the system error code.
  };
  Result result;
  std::size_t size;
  std::uint32_t error;
};

// Waits for the next packet on the capture socket and receives it into
// `buffer`. A packet longer than `capacity` is reported as kTooLarge, never
// as a shortened packet. The error code is read right after the failed call.
// Writes nothing. Capture thread only.
CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity);

#endif  // ARTNET_NET_CAPTURE_SOCKET_H_
