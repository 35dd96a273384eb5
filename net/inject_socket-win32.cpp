#include <winsock2.h>
#include <ws2tcpip.h>

#include "app/console.h"
#include "net/artnet.h"
#include "net/datagram.h"
#include "net/inject_socket.h"

NativeSocket CreateInjectSocket() {
  const SOCKET inject = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  // Each datagram carries the IPv4 header built by BuildLocalDatagram.
  const DWORD on = 1;
  setsockopt(inject, IPPROTO_IP, IP_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<NativeSocket>(inject);
}

int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length) {
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size = BuildLocalDatagram(source, destination, payload, length, datagram);
  if (size == 0) {
    // Longer than any frame the device reader hands over.
    WriteMessageSigned(Message::SendProblem, WSAEMSGSIZE);
    return -1;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kArtNetPort);
  to.sin_addr.s_addr = destination;
  const int sent = sendto(static_cast<SOCKET>(inject), reinterpret_cast<const char*>(datagram),
                          static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent == SOCKET_ERROR) {
    WriteMessageSigned(Message::SendProblem, WSAGetLastError());
    return -1;
  }
  return sent;
}
