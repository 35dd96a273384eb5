// Linux capture internals shared with their tests.
#ifndef ARTNET_NET_CAPTURE_SOCKET_LINUX_H_
#define ARTNET_NET_CAPTURE_SOCKET_LINUX_H_

#include <vector>

#include "net/artnet_bpf.h"

// Attaches `program` (ArtNetBpfProgram, CaptureBpfProgram) to the packet
// socket `fd` (SO_ATTACH_FILTER), so the kernel drops everything else before
// it reaches the socket. Attach it before binding the socket to a protocol,
// or packets queued in between are delivered unfiltered (MatchArtNet still
// sorts them out). Returns false, and writes nothing, when the kernel refuses
// it or the program is empty.
bool AttachCaptureProgram(int fd, const std::vector<BpfInstruction>& program);

#endif  // ARTNET_NET_CAPTURE_SOCKET_LINUX_H_
