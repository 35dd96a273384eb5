#include "net/capture_loop.h"

#include "app/console.h"
#include "net/artnet_filter.h"
#include "serial/serial_port.h"

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

void CaptureLoop(const CaptureSocket& capture, DeviceHandle device) {
  const NativeSocket socket = capture.socket();
  const std::uint32_t error = RunCaptureLoop(
      [socket](std::uint8_t* buffer, std::size_t capacity) {
        return ReceiveCaptured(socket, buffer, capacity);
      },
      [device](const std::uint8_t* payload, std::size_t size) { WriteDevice(device, payload, size); });
  WriteMessage(Message::CommunicationError, error);
}
