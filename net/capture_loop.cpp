#include "net/capture_loop.h"

#include <cstring>

#include "net/artnet_filter.h"

std::uint32_t RunCaptureLoop(const CaptureReceiver& receive, const PayloadForwarder& forward) {
  std::uint8_t buffer[kCaptureBufferSize] = {};
  for (;;) {
    const CaptureReceive received = receive(buffer, sizeof buffer);
    switch (received.result) {
      case CaptureReceive::Result::kFailed:
        return received.error;
      case CaptureReceive::Result::kTooLarge:
        // Ordinary traffic makes such packets (large-send offload, GRO and
        // TSO super-packets), and none of them can be an Art-Net packet the
        // device is to see. Ending the loop here would silently cut the
        // network-to-device direction after one big download.
        continue;
      case CaptureReceive::Result::kPacket:
        if (const auto payload = MatchArtNet(buffer, received.size)) {
          // A kept packet holds at least 18 bytes (a UDP header and 10
          // payload bytes after any header length), so the IPv4 source
          // address, bytes 12 to 15, lies inside it.
          std::uint32_t source;
          std::memcpy(&source, buffer + 12, sizeof source);
          forward(source, buffer + payload->offset, payload->length);
        }
        continue;
    }
  }
}
