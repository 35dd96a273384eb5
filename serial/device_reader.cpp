#include "serial/device_reader.h"

namespace {
// Every read asks for this many bytes.
constexpr std::size_t kReadSize = 1024;
}  // namespace

void ReadDeviceOnce(DeviceHandle device, FrameAssembler& assembler, const FrameSink& sink) {
  std::uint8_t buffer[kReadSize];
  const std::size_t count = ReadDevice(device, buffer, sizeof buffer);
  assembler.Append(buffer, count, sink);
}

void DeviceReadLoop(DeviceHandle device, const FrameSink& sink) {
  FrameAssembler assembler;
  for (;;) ReadDeviceOnce(device, assembler, sink);
}
