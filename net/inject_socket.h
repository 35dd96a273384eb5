// Sends the device's frames to the host's own Art-Net port.
#ifndef ARTNET_NET_INJECT_SOCKET_H_
#define ARTNET_NET_INJECT_SOCKET_H_

#include <cstddef>
#include <cstdint>

#include "net/local_address.h"

// A raw IPv4 socket that sends datagrams with their own IPv4 header
// (IP_HDRINCL). Nothing is checked: without a usable socket every send fails
// and says so. Platform operation; main thread, once.
NativeSocket CreateInjectSocket();

// Sends `size` bytes of a datagram built by BuildLocalDatagram to
// `destination`, port 6454. Returns 0 when it was sent, or the socket error
// code (errno, WSAGetLastError) read right after the failed call. Writes
// nothing. Platform operation; the thread that owns the socket.
std::int32_t SendBuiltDatagram(NativeSocket inject, LocalAddress destination,
                               const std::uint8_t* datagram, std::size_t size);

// The socket error code for a message too long to send (EMSGSIZE,
// WSAEMSGSIZE).
extern const std::int32_t kMessageTooLongError;

// Sends `payload` as one UDP datagram from `source`, port 6454, to
// `destination`, port 6454, its headers built by BuildLocalDatagram. Returns
// the count sent (`length` + 28), or -1 after writing SendProblem with the
// socket error code; a run of failures with the same code is reported once,
// until a send goes out again. Main thread only.
int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length);

#endif  // ARTNET_NET_INJECT_SOCKET_H_
