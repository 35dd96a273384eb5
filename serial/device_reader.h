// The device-to-network direction: the device's bytes, collected into frames.
#ifndef ARTNET_SERIAL_DEVICE_READER_H_
#define ARTNET_SERIAL_DEVICE_READER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "serial/device_link.h"
#include "serial/frame_assembler.h"
#include "serial/serial_port.h"

// Every read asks for this many bytes.
constexpr std::size_t kDeviceReadSize = 1024;

// One turn of the reader: waits for the device's bytes (ReadDevice), adds them
// to `assembler` and hands every frame they complete to `sink`.
void ReadDeviceOnce(DeviceHandle device, FrameAssembler& assembler, const FrameSink& sink);

// The main thread's life after start-up: reads the device through `link` and
// hands every frame to `sink`, through the device's going and coming back
// (a new port starts a new collection). Keeps `discarded`, where given, at
// the number of the device's bytes that made no frame (FrameAssembler's
// Discarded()), for other threads to read. Returns once the link is stopped.
void DeviceReadLoop(DeviceLink& link, const FrameSink& sink,
                    std::atomic<std::uint64_t>* discarded = nullptr);

#endif  // ARTNET_SERIAL_DEVICE_READER_H_
