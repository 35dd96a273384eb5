#include "net/capture_loop.h"

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
          forward(buffer + payload->offset, payload->length);
        }
        continue;
    }
  }
}
