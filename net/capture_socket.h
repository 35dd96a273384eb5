// The socket that sees every IPv4 packet the host sends or receives.
//
// Windows: a raw IPv4 socket bound to the host's address in receive-all mode.
// Linux: a packet socket whose kernel program keeps the IPv4 packets of the
// interfaces that carry the host's traffic, its traffic to its own address
// on the loopback interface included (capture_socket-linux.cpp). It follows
// the host's address and those interfaces as they change.
#ifndef ARTNET_NET_CAPTURE_SOCKET_H_
#define ARTNET_NET_CAPTURE_SOCKET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/local_address.h"

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

// Owns the capture socket for the life of the program.
class CaptureSocket {
 public:
  // Starts the socket library and opens the capture socket on the host's
  // address (on Linux also the socket that tells of changes to interfaces and
  // addresses; the bridge works without it, only without following them).
  // Writes WinsockLoadFailed or NeedAdministrator when those steps fail, and
  // InitCompleted once every packet of the host can be seen. On failure
  // socket() stays kInvalidSocket. Main thread, once, before the bridge gives
  // up its rights: every socket is opened here.
  void Init();

  NativeSocket socket() const { return socket_; }

  // The host's address the capture is on, which the device's frames go from
  // and to. Set by Init; on Linux the capture thread moves it when the host
  // name comes to resolve to another address an interface holds, and keeps
  // the last one while no interface holds it. Any thread.
  LocalAddress address() const { return address_.load(std::memory_order_relaxed); }

  // Waits for the next packet and receives it, as ReceiveCaptured does. On
  // Linux it watches the interfaces and addresses meanwhile: on a change it
  // looks the host name up again and attaches the program for what it finds
  // (one that drops every packet while no interface holds the address, which
  // it then looks for once a second). Writes nothing. Capture thread only.
  CaptureReceive Receive(std::uint8_t* buffer, std::size_t capacity);

 private:
  NativeSocket socket_ = kInvalidSocket;
  // Linux's rtnetlink socket; kInvalidSocket where nothing is followed
  // (Windows, whose socket is bound to the address).
  NativeSocket changes_ = kInvalidSocket;
  // Whether an interface holds address_ and the kernel program captures it.
  // Capture thread only, once Init is done.
  bool capturing_ = false;
  std::atomic<LocalAddress> address_{0};
};

// Waits for the next packet on the capture socket and receives it into
// `buffer`: the IPv4 packet alone, as a raw IPv4 socket delivers it (on
// Linux the link frame's padding is cut off, by IPv4PacketLength in
// net/artnet_bpf.h). A packet longer than `capacity` is reported as
// kTooLarge, never as a shortened packet. The error code is read right after
// the failed call. Writes nothing. Capture thread only.
CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity);

#endif  // ARTNET_NET_CAPTURE_SOCKET_H_
