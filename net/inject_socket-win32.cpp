#include <winsock2.h>
#include <ws2tcpip.h>

#include "artnet/artnet.h"
#include "net/inject_socket.h"

const std::int32_t kMessageTooLongError = WSAEMSGSIZE;

NativeSocket CreateInjectSocket() {
  const SOCKET inject = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  // Each datagram carries the IPv4 header built by BuildLocalDatagram.
  const DWORD on = 1;
  setsockopt(inject, IPPROTO_IP, IP_HDRINCL, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<NativeSocket>(inject);
}

std::int32_t SendBuiltDatagram(NativeSocket inject, LocalAddress destination,
                               const std::uint8_t* datagram, std::size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kArtNetPort);
  to.sin_addr.s_addr = destination;
  const int sent = sendto(static_cast<SOCKET>(inject), reinterpret_cast<const char*>(datagram),
                          static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == SOCKET_ERROR ? WSAGetLastError() : 0;
}
