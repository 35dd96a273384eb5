#include "net/inject_socket.h"

#include "console/console.h"
#include "net/datagram.h"

namespace {
// The code of the last failure reported; 0 after a send that went out.
// Main thread only, as the sends.
std::int32_t g_reported_error = 0;

// The identification of the last datagram sent in fragments. Main thread.
std::uint16_t g_identification = 0;

// Sends a datagram too long for the link towards its destination (a frame
// of over 1472 bytes to a controller across an Ethernet network) as IPv4
// fragments: a raw socket that carries its own header is not fragmented by
// the system (Linux refuses the datagram with EMSGSIZE). The links' common
// sizes are tried in turn, Ethernet's first. Returns 0 once every fragment
// went out, or the code of the failure.
std::int32_t SendInFragments(NativeSocket inject, LocalAddress destination, const std::uint8_t* datagram,
                             std::size_t size) {
  constexpr std::size_t kLinkSizes[] = {1500, 1280, 576};
  if (++g_identification == 0) g_identification = 1;
  std::int32_t error = kMessageTooLongError;
  for (const std::size_t mtu : kLinkSizes) {
    std::uint8_t fragment[1500];
    std::size_t offset = 0;
    error = 0;
    while (error == 0 && offset + 20 < size) {
      std::size_t next = 0;
      const std::size_t length = BuildFragment(datagram, size, offset, mtu, g_identification, fragment, &next);
      if (length == 0) return kMessageTooLongError;
      error = SendBuiltDatagram(inject, destination, fragment, length);
      offset = next;
    }
    // Only a fragment too long for the link is worth sending again smaller.
    if (error != kMessageTooLongError) return error;
  }
  return error;
}
}  // namespace

int SendLocalDatagram(NativeSocket inject, LocalAddress source, LocalAddress destination,
                      const std::uint8_t* payload, std::size_t length) {
  std::uint8_t datagram[kMaxDatagramSize];
  const std::size_t size = BuildLocalDatagram(source, destination, payload, length, datagram);
  // Longer than any frame the device reader hands over.
  std::int32_t error = size == 0 ? kMessageTooLongError : SendBuiltDatagram(inject, destination, datagram, size);
  if (error == kMessageTooLongError && size != 0) error = SendInFragments(inject, destination, datagram, size);
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
