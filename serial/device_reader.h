// The device-to-network direction: the device's bytes, collected into frames.
#ifndef ARTNET_SERIAL_DEVICE_READER_H_
#define ARTNET_SERIAL_DEVICE_READER_H_

#include <cstddef>
#include <cstdint>

#include "serial/frame_assembler.h"
#include "serial/serial_port.h"

// One turn of the reader: waits for the device's bytes (ReadDevice), adds them
// to `assembler` and hands every frame they complete to `sink`.
void ReadDeviceOnce(DeviceHandle device, FrameAssembler& assembler, const FrameSink& sink);

// The main thread's life after start-up: reads the device for good and hands
// every frame to `sink`. Never returns.
[[noreturn]] void DeviceReadLoop(DeviceHandle device, const FrameSink& sink);

#endif  // ARTNET_SERIAL_DEVICE_READER_H_
