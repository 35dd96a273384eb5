#include "serial/serial_port.h"

DeviceHandle FindDevicePort(const std::atomic<bool>* abandon, std::string* path) {
  for (const std::string& name : ListSerialPorts()) {
    const DeviceHandle device = OpenDevicePort(name);
    if (device == kInvalidDevice) continue;
    // No answer is awaited: the first port that takes the settings and the
    // probe is the device's. The probe is its first message.
    const WriteResult probe = WriteDevice(device, kArtPollProbe, sizeof kArtPollProbe, abandon).result;
    if (probe == WriteResult::kWritten) {
      if (path != nullptr) *path = name;
      return device;
    }
    CloseDevicePort(device);
    if (probe == WriteResult::kAbandoned) return kInvalidDevice;
  }
  return kInvalidDevice;
}

PortOutcome OutcomeOfWrite(WriteResult result) {
  switch (result) {
    case WriteResult::kWritten:
      return PortOutcome::kWorked;
    case WriteResult::kFailed:
      return PortOutcome::kFailed;
    case WriteResult::kLost:
      return PortOutcome::kGone;
    case WriteResult::kAbandoned:
      break;
  }
  return PortOutcome::kCancelled;
}
