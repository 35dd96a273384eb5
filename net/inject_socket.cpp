#include "net/inject_socket.h"

#include "app/console.h"
#include "net/datagram.h"

int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length) {
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size = BuildLocalDatagram(source, destination, payload, length, datagram);
  // Longer than any frame the device reader hands over.
  const std::int32_t error =
      size == 0 ? kMessageTooLongError : SendBuiltDatagram(inject, destination, datagram, size);
  if (error != 0) {
    WriteMessageSigned(Message::SendProblem, error);
    return -1;
  }
  return static_cast<int>(size);
}
