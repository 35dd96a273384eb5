#include "serial/serial_port.h"

DeviceHandle FindDevicePort(const std::atomic<bool>* abandon, std::string* path) {
  for (const std::string& name : ListSerialPorts()) {
    const DeviceHandle device = OpenDevicePort(name);
    if (device == kInvalidDevice) continue;
    // No answer is awaited: the first port that takes the settings is the
    // device's. The probe is its first message.
    if (WriteDevice(device, kArtPollProbe, sizeof kArtPollProbe, abandon).result ==
        WriteResult::kAbandoned) {
      CloseDevicePort(device);
      return kInvalidDevice;
    }
    if (path != nullptr) *path = name;
    return device;
  }
  return kInvalidDevice;
}
