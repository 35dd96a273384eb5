// The device's serial port: finding it, writing to it, reading from it.
//
// Windows: the ports listed under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, opened
// for overlapped I/O without sharing. Linux: the serial ports the kernel lists
// under /sys/class/tty, opened exclusively. Either way the link runs at
// 1,200,000 baud, 8 data bits, no parity, one stop bit, DTR on.
#ifndef ARTNET_SERIAL_SERIAL_PORT_H_
#define ARTNET_SERIAL_SERIAL_PORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open device port: a Win32 HANDLE or a Linux file descriptor, held as an
// integer so that portable code can pass it along. Never closed once found.
using DeviceHandle = std::intptr_t;
// INVALID_HANDLE_VALUE on Windows, -1 on Linux: both are all bits set.
constexpr DeviceHandle kInvalidDevice = -1;

constexpr std::uint32_t kDeviceBaudRate = 1200000;

// The 14-byte ArtPoll written to the device once it is found.
constexpr std::uint8_t kArtPollProbe[14] = {'A', 'r', 't', '-', 'N', 'e', 't', 0,
                                            0x00, 0x20,  // OpPoll, low byte first
                                            0x00, 14,    // protocol version 14
                                            0x02,        // flags
                                            0x10};       // diagnostics priority

// The serial ports in the order discovery tries them (Windows: "COM3";
// Linux: "/dev/ttyUSB0"). Empty when there are none. Writes nothing.
std::vector<std::string> ListSerialPorts();

// Opens and configures the first listed port that accepts the link settings,
// clears its queues and writes kArtPollProbe to it; later ports are never
// touched. Returns the port, or kInvalidDevice when no port could be used.
// Writes no message of its own (the probe's write may). Main thread, once.
DeviceHandle FindDevicePort();

// Writes `length` bytes (at most 2048) to the device as one message, waiting
// at most 500 ms. Returns true when bytes were transferred. Failures are
// written to the console (SerialWriteFailed, SerialWriteTimeout). Never
// discards bytes the device has sent. Called by one thread at a time.
bool WriteDevice(DeviceHandle device, const std::uint8_t* data, std::size_t length);

// Waits, without spinning, until the device has sent bytes, then reads up to
// `capacity` of them. Returns the count read, or 0 when nothing arrived
// within about two seconds, a read failed, or the device is gone (a lost
// device is waited on, not polled). Never discards bytes still to be written.
std::size_t ReadDevice(DeviceHandle device, std::uint8_t* buffer, std::size_t capacity);

#endif  // ARTNET_SERIAL_SERIAL_PORT_H_
