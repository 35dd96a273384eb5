// artnet-serial-bridge: carries Art-Net between this computer's IP stack and
// an Art-Net device on a serial port.
//
// It takes no arguments and reads no configuration. Start-up sets up the
// network side before any serial port is touched, finds the device, and then
// runs one thread per direction until the process is ended:
//   network to device: capture socket -> RunCaptureLoop (MatchArtNet) -> WriteDevice
//   device to network: ReadDevice -> FrameAssembler -> SendLocalDatagram
#include <cstddef>
#include <cstdint>
#include <system_error>
#include <thread>

#include "app/console.h"
#include "net/capture_loop.h"
#include "net/capture_socket.h"
#include "net/inject_socket.h"
#include "net/local_address.h"
#include "serial/device_reader.h"
#include "serial/serial_port.h"

namespace {

// The network-to-device direction, the capture thread's body: every captured
// Art-Net packet the device is to see is written to it. A failed receive ends
// the direction for good, with CommunicationError.
void CaptureToDevice(NativeSocket capture, DeviceHandle device) {
  const std::uint32_t error = RunCaptureLoop(
      [capture](std::uint8_t* buffer, std::size_t capacity) {
        return ReceiveCaptured(capture, buffer, capacity);
      },
      [device](const std::uint8_t* payload, std::size_t size) { WriteDevice(device, payload, size); });
  WriteMessage(Message::CommunicationError, error);
}

}  // namespace

int main() {
  CaptureSocket capture;
  capture.Init();
  if (capture.socket() == kInvalidSocket) {
    WriteMessage(Message::NetworkInitFailed);
    Pause();
    return 1;
  }

  // Writes the probe: the device's first message, before the capture thread
  // can write anything.
  const DeviceHandle device = FindDevicePort();
  if (device == kInvalidDevice) {
    WriteMessage(Message::NoDeviceFound);
    Pause();
    return 1;
  }

  // Network to device, on a thread of its own for the life of the process.
  try {
    std::thread(CaptureToDevice, capture.socket(), device).detach();
  } catch (const std::system_error& error) {
    // Without the thread only the device-to-network direction runs, as after
    // a capture failure, and the user is told the same way.
    WriteMessage(Message::CommunicationError, static_cast<std::uint32_t>(error.code().value()));
  }

  const NativeSocket inject = CreateInjectSocket();
  WriteMessage(Message::Running);

  // Device to network, on the main thread. The address is looked up again:
  // the device's frames go from and to it.
  const LocalAddress local = GetLocalIPv4();
  DeviceReadLoop(device, [inject, local](const std::uint8_t* frame, std::size_t size) {
    SendLocalDatagram(inject, local, local, frame, size);
  });
}
