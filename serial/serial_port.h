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

#include "artnet/artnet.h"

// An open device port: a Win32 HANDLE or a Linux file descriptor, held as an
// integer so that portable code can pass it along.
using DeviceHandle = std::intptr_t;
// INVALID_HANDLE_VALUE on Windows, -1 on Linux: both are all bits set.
constexpr DeviceHandle kInvalidDevice = -1;

constexpr std::uint32_t kDeviceBaudRate = 1200000;

// The longest message WriteDevice takes.
constexpr std::size_t kMaxDeviceMessage = 2048;

// The serial ports in the order discovery tries them (Windows: "COM3";
// Linux: "/dev/ttyUSB0"). Empty when there are none. Writes nothing.
std::vector<std::string> ListSerialPorts();

// Opens the port ListSerialPorts names `name` and gives it the link
// settings: exclusively (no other program may hold it), for the platform's
// asynchronous I/O, at 1,200,000 baud 8N1 with DTR on, every byte carried
// unchanged, both queues cleared. Returns the port, or kInvalidDevice when
// it is missing, held by another program or refuses a setting; a port given
// up is left with the settings it had. Writes nothing. Any thread.
DeviceHandle OpenDevicePort(const std::string& name);

// Opens the first listed port that OpenDevicePort can open and writes
// kArtPollProbe (artnet/artnet.h) to it; later ports are never touched.
// Returns the port, or kInvalidDevice when no port could be used (or
// `abandon` was set while the probe was written). `path`, when given,
// receives the port's name. Writes no message of its own (the probe's write
// may). One thread at a time.
DeviceHandle FindDevicePort(const std::atomic<bool>* abandon = nullptr, std::string* path = nullptr);

// Lets go of a port OpenDevicePort returned: its exclusive hold and the
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
  // The port took the write and failed it later, while it was under way.
  bool under_way = false;
};

// Writes SerialWriteFailed for a write that failed, with what the platform
// tells of it besides the code (Windows: the offset tail of a write that
// failed under way). Any thread.
void WriteFailedMessage(const DeviceWrite& write);

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
