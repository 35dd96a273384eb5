// The device's serial port: finding it, writing to it, reading from it,
// letting it go.
//
// Windows: the ports listed under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, opened
// for overlapped I/O without sharing. Linux: the serial ports the kernel lists
// under /sys/class/tty, opened exclusively. Either way the link runs at
// 1,200,000 baud, 8 data bits, no parity, one stop bit, DTR on, and carries
// every byte unchanged both ways.
#ifndef ARTNET_SERIAL_SERIAL_PORT_H_
#define ARTNET_SERIAL_SERIAL_PORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open device port: a Win32 HANDLE or a Linux file descriptor, held as an
// integer so that portable code can pass it along.
using DeviceHandle = std::intptr_t;
// INVALID_HANDLE_VALUE on Windows, -1 on Linux: both are all bits set.
constexpr DeviceHandle kInvalidDevice = -1;

constexpr std::uint32_t kDeviceBaudRate = 1200000;

// The longest message WriteDevice takes.
constexpr std::size_t kMaxDeviceMessage = 2048;

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
// touched, and a port tried and given up is left as it was found. Returns
// the port, or kInvalidDevice when no port could be used (or `abandon` was
// set while the probe was written). `path`, when given, receives the port's
// name. Writes no message of its own (the probe's write may). One thread at
// a time.
DeviceHandle FindDevicePort(const std::atomic<bool>* abandon = nullptr, std::string* path = nullptr);

// Lets go of a port FindDevicePort returned: its exclusive hold and the
// handle itself. No other operation may be using it.
void CloseDevicePort(DeviceHandle device);

enum class WriteResult {
  kWritten,    // Every byte went to the driver.
  kFailed,     // The port refused the write; `error` says why. Nothing was written.
  kLost,       // The port is gone (unplugged): nothing more will get through.
  kAbandoned,  // `abandon` was set before the message was through.
};

struct DeviceWrite {
  WriteResult result;
  std::uint32_t error = 0;  // The system error code, for kFailed and kLost.
  // Windows: the write failed once under way, and its completion record's
  // Offset and OffsetHigh (zero for a serial port) go with the message.
  bool with_offsets = false;
  std::uint32_t offset = 0;
  std::uint32_t offset_high = 0;
};

// Writes `length` bytes (at most kMaxDeviceMessage) to the device as one
// message, whole: a write that has started is carried through however long
// the device takes, never cut off, since the link has no framing that would
// let the device find the next message after a fragment. When the device
// takes no byte for 500 ms, writes SerialWriteTimeout once and keeps waiting.
// Gives up only when the port is lost or `abandon` becomes true (checked at
// least every 100 ms). Never discards bytes the device has sent. Called by
// one thread at a time.
DeviceWrite WriteDevice(DeviceHandle device, const std::uint8_t* data, std::size_t length,
                        const std::atomic<bool>* abandon = nullptr);

// The bytes the driver holds that the wire has not sent yet, where the driver
// can tell (a pty cannot); 0 otherwise.
std::size_t DeviceOutputQueued(DeviceHandle device);

// How long ReadDevice waits for bytes at most.
constexpr int kReadWaitMs = 250;

// Waits, without spinning, until the device has sent bytes, then reads up to
// `capacity` of them. Returns the count read, or 0 when nothing arrived
// within kReadWaitMs (about) or a read failed. Sets `*lost` when the port is
// gone (unplugged, hung up). Never discards bytes still to be written.
std::size_t ReadDevice(DeviceHandle device, std::uint8_t* buffer, std::size_t capacity,
                       bool* lost = nullptr);

#endif  // ARTNET_SERIAL_SERIAL_PORT_H_
