// The network-to-device direction's loop: captured packets in, the Art-Net
// payloads the device is to see out. Portable; the receive and the forward
// are the caller's (app/main.cpp joins them to the capture socket and the
// device writer), so tests drive the loop with fakes.
#ifndef ARTNET_NET_CAPTURE_LOOP_H_
#define ARTNET_NET_CAPTURE_LOOP_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/capture_socket.h"

// Captured packets are received into a buffer of this size. No packet the
// device is to see comes near it: Art-Net payloads end at 530 bytes.
constexpr std::size_t kCaptureBufferSize = 2048;

using CaptureReceiver = std::function<CaptureReceive(std::uint8_t* buffer, std::size_t capacity)>;
// Takes the Art-Net payload of a captured packet and the packet's IPv4 source
// address (network byte order).
using PayloadForwarder =
    std::function<void(std::uint32_t source, const std::uint8_t* payload, std::size_t size)>;

// Receives packets into a zeroed kCaptureBufferSize-byte buffer one at a time
// and forwards the payload of each one MatchArtNet keeps, with its source.
// Packets too large for the buffer are skipped. Returns the error code of the first failed
// receive; writes nothing. The calling thread only.
std::uint32_t RunCaptureLoop(const CaptureReceiver& receive, const PayloadForwarder& forward);

#endif  // ARTNET_NET_CAPTURE_LOOP_H_
