#include "serial/device_reader.h"

void ReadDeviceOnce(DeviceHandle device, FrameAssembler& assembler, const FrameSink& sink) {
  std::uint8_t buffer[kDeviceReadSize];
  const std::size_t count = ReadDevice(device, buffer, sizeof buffer);
  assembler.Append(buffer, count, sink);
}

void DeviceReadLoop(DeviceLink& link, const FrameSink& sink, std::atomic<std::uint64_t>* discarded) {
  FrameAssembler assembler;
  std::uint8_t buffer[kDeviceReadSize];
  while (!link.stopped()) {
    const DeviceLink::Read read = link.ReadOrReconnect(buffer, sizeof buffer);
    // What the old port sent of an unfinished frame is not the new one's.
    if (read.new_port) assembler.DiscardCollection();
    assembler.Append(buffer, read.count, sink);
    if (discarded != nullptr) discarded->store(assembler.Discarded(), std::memory_order_relaxed);
  }
}
