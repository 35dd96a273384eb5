#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "app/console.h"
#include "net/artnet.h"
#include "net/datagram.h"
#include "net/inject_socket.h"

NativeSocket CreateInjectSocket() {
  const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  // IPPROTO_RAW implies IP_HDRINCL on Linux; set it anyway, as on Windows.
  const int on = 1;
  setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on);
  return fd;
}

int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length) {
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size = BuildLocalDatagram(source, destination, payload, length, datagram);
  if (size == 0) {
    // Longer than any frame the device reader hands over.
    WriteMessageSigned(Message::SendProblem, EMSGSIZE);
    return -1;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kArtNetPort);
  to.sin_addr.s_addr = destination;
  // The kernel takes the header as built, but fills in the identification
  // (when zero) and the header checksum itself. The UDP checksum is ours:
  // a wrong one is dropped silently by the receiving host.
  const ssize_t sent = sendto(static_cast<int>(inject), datagram, size, 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0) {
    WriteMessageSigned(Message::SendProblem, errno);
    return -1;
  }
  return static_cast<int>(sent);
}
