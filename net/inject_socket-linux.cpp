#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "artnet/artnet.h"
#include "net/inject_socket.h"

const std::int32_t kMessageTooLongError = EMSGSIZE;

NativeSocket CreateInjectSocket() {
  const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  // IPPROTO_RAW implies IP_HDRINCL on Linux; set it anyway, as on Windows.
  const int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on);
  return fd;
}

std::int32_t SendBuiltDatagram(NativeSocket inject, LocalAddress destination,
                               const std::uint8_t* datagram, std::size_t size) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kArtNetPort);
  to.sin_addr.s_addr = destination;
  // The kernel takes the header as built, but fills in the identification
  // (when zero) and the header checksum itself. The UDP checksum is ours:
  // a wrong one is dropped silently by the receiving host.
  const ssize_t sent = sendto(static_cast<int>(inject), datagram, size, 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent < 0 ? errno : 0;
}
