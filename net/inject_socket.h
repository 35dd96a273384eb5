// Sends the device's frames to the host's own Art-Net port.
#ifndef ARTNET_NET_INJECT_SOCKET_H_
#define ARTNET_NET_INJECT_SOCKET_H_

#include <cstddef>
#include <cstdint>

#include "net/capture_socket.h"

// A raw IPv4 socket that sends datagrams with their own IPv4 header
// (IP_HDRINCL). Nothing is checked: without a usable socket every send fails
// and says so. Main thread, once.
NativeSocket CreateInjectSocket();

// Sends `payload` as one UDP datagram from `source`, port 6454, to
// `destination`, port 6454, its headers built by BuildLocalDatagram. Returns
// the count sent, or -1 after writing SendProblem with the socket error code.
// Main thread only.
int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length);

#endif  // ARTNET_NET_INJECT_SOCKET_H_
