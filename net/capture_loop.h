// The capture thread's loop, built over one platform operation: receiving the
// next captured packet. Shared by both platforms; the loop itself is driven by
// tests through RunCaptureLoop.
#ifndef ARTNET_NET_CAPTURE_LOOP_H_
#define ARTNET_NET_CAPTURE_LOOP_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/capture_socket.h"

// Captured packets are received into a buffer of this size. No packet the
// device is to see comes near it: Art-Net payloads end at 530 bytes.
constexpr std::size_t kCaptureBufferSize = 2048;

// What one receive from the capture socket gave.
struct CaptureReceive {
  enum class Result {
    kPacket,    // `size` bytes of one packet, header first, are in the buffer.
    kTooLarge,  // The packet was longer than the buffer and was dropped.
    kFailed,    // The receive failed; `error` is the system error code.
  };
  Result result;
  std::size_t size;
  std::uint32_t error;
};

// Waits for the next packet on the capture socket and receives it into
// `buffer`. A packet longer than `capacity` is reported as kTooLarge, never
// as a shortened packet. The error code is read right after the failed call.
// Platform operation (capture_socket-linux.cpp, capture_socket-win32.cpp);
// capture thread only.
CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity);

using CaptureReceiver = std::function<CaptureReceive(std::uint8_t* buffer, std::size_t capacity)>;
using PayloadForwarder = std::function<void(const std::uint8_t* payload, std::size_t size)>;

// Receives packets into a zeroed kCaptureBufferSize-byte buffer one at a time
// and forwards the payload of each one MatchArtNet keeps. Packets too large
// for the buffer are skipped. Returns the error code of the first failed
// receive; writes nothing.
std::uint32_t RunCaptureLoop(const CaptureReceiver& receive, const PayloadForwarder& forward);

#endif  // ARTNET_NET_CAPTURE_LOOP_H_
