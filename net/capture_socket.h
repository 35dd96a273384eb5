// The sockets that see every IPv4 packet the host sends or receives on each
// of its adapters, and its traffic to any of its own addresses.
//
// Windows: one raw IPv4 socket in receive-all mode per IPv4 address of an
// adapter that is up (capture_socket-win32.cpp). Linux: one packet socket
// whose kernel program keeps the IPv4 packets of every such adapter and the
// host's traffic to its own addresses on the loopback interface
// (capture_socket-linux.cpp). Both follow the adapters as they come, go and
// change (net/adapters.h has the rules).
#ifndef ARTNET_NET_CAPTURE_SOCKET_H_
#define ARTNET_NET_CAPTURE_SOCKET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/adapters.h"
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

// Owns the capture sockets for the life of the program.
class CaptureSocket {
 public:
  CaptureSocket();
  ~CaptureSocket();

  // Starts the socket library (Windows) and opens the capture on every
  // adapter, and what tells of changes to them (the bridge works without
  // it, only without following them). Writes WinsockLoadFailed or
  // NeedAdministrator when those steps fail; AdapterNotCaptured, with the
  // code and the address, for each adapter that refuses (the others are
  // captured all the same); and InitCompleted once the host's packets can be
  // seen. Fails, without a message, when the host name does not resolve to
  // an address the bridge captures or a loopback one. Main thread, once,
  // before the bridge gives up its rights: every socket it opens at start-up
  // is opened here (on Windows those of adapters that come later need the
  // rights the bridge keeps there).
  void Init();

  // Whether Init set the capture up.
  bool ready() const { return ready_; }

  // The host name's address: the device's frames go from and to it while no
  // controller has polled. Set by Init; the capture thread moves it when the
  // host name comes to resolve to another address, and keeps the last one
  // while none is held. Any thread.
  LocalAddress address() const { return address_.load(std::memory_order_relaxed); }

  // The addresses being captured now (AddressesToCapture). Any thread.
  std::vector<AdapterAddress> captured() const;

  // Waits for the next packet and receives it, as ReceiveCaptured does.
  // Meanwhile it follows the adapters: on a change it lists them and looks
  // the host name up again, and captures what it finds within a moment.
  // Writes AdapterNotCaptured for an adapter that refuses (once for each
  // address and code), nothing else. Capture thread only.
  CaptureReceive Receive(std::uint8_t* buffer, std::size_t capacity);

 private:
  // Publishes what the capture is on now. Capture thread (and Init).
  void Publish(LocalAddress host, std::vector<AdapterAddress> captured);

  // The platform's sockets and notices (capture_socket-linux.cpp,
  // capture_socket-win32.cpp). Capture thread only, once Init is done.
  struct Platform;
  std::unique_ptr<Platform> platform_;
  bool ready_ = false;
  std::atomic<LocalAddress> address_{0};
  mutable std::mutex mutex_;
  std::vector<AdapterAddress> captured_;
};

// Waits for the next packet on the capture socket and receives it into
// `buffer`: the IPv4 packet alone, as a raw IPv4 socket delivers it (on
// Linux the link frame's padding is cut off, by IPv4PacketLength in
// net/artnet_bpf.h). A packet longer than `capacity` is reported as
// kTooLarge, never as a shortened packet. The error code is read right after
// the failed call. Writes nothing. Capture thread only.
CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity);

#endif  // ARTNET_NET_CAPTURE_SOCKET_H_
