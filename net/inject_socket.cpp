#include "net/inject_socket.h"

#include "console/console.h"
#include "net/datagram.h"

namespace {
// The code of the last failure reported; 0 after a send that went out.
// Main thread only, as the sends.
std::int32_t g_reported_error = 0;
}  // namespace

int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length) {
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size = BuildLocalDatagram(source, destination, payload, length, datagram);
  // Longer than any frame the device reader hands over.
  const std::int32_t error =
      size == 0 ? kMessageTooLongError : SendBuiltDatagram(inject, destination, datagram, size);
  if (error != 0) {
    // A network that has gone (the host's interface unplugged) fails every
    // frame the same way: one line says so, not one per frame.
    if (error != g_reported_error) WriteMessageSigned(Message::SendProblem, error);
    g_reported_error = error;
    return -1;
  }
  g_reported_error = 0;
  return static_cast<int>(size);
}
