// The Windows device port's own pieces, below the portable serial_port.h:
// the registry's port names, the device path rule and the opening of one
// path. ListSerialPorts and OpenDevicePort are built from them; the tests
// call them directly.
// Windows only.
#ifndef ARTNET_SERIAL_SERIAL_PORT_WIN32_H_
#define ARTNET_SERIAL_SERIAL_PORT_WIN32_H_

#include <windows.h>

#include <string>
#include <vector>

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: its name is the port
// driver's device object, its data the port's name.
struct SerialcommValue {
  std::wstring device;  // "\Device\VCP0"
  std::wstring port;    // "COM3"
};

// Every value under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in the registry's
// enumeration order (ListSerialPorts puts them in the order discovery tries
// them, serial/port_order.h). A value that cannot be read into the
// 100-character name and 100-byte data buffers is left out. Empty when the
// key cannot be opened or has no values. Writes nothing; any thread.
std::vector<SerialcommValue> ListSerialcommValues();

// Every value of the open `key`, read as ListSerialcommValues reads
// SERIALCOMM's: 100-character names, 100-byte data, a value that does not
// fit skipped, its data's text up to its first zero character or the end of
// its data. The key stays open.
std::vector<SerialcommValue> ReadSerialcommValues(HKEY key);

// The path that opens the port a registry name stands for: the name less its
// first three characters ("COM") is read as a number the way _wtoi reads it,
// and gives "COM<n>" for n <= 9 (zero and negatives included) and
// "\\.\COM<n>" for n >= 10. Empty when the path would not fit in the 15
// characters the bridge allows for it (n above 9,999,999): such a name is not
// tried at all, rather than opening a port with a cut-off number.
std::wstring DevicePathForPortName(const std::wstring& name);

// Opens `path` for overlapped I/O without sharing and applies the link
// settings (driver queues, time-outs, 1,200,000 baud 8N1 with DTR on), then
// empties both driver queues. Returns the open handle, or INVALID_HANDLE_VALUE
// (the handle closed again) when the port cannot be opened or configured.
// Writes nothing.
HANDLE OpenPortPath(const std::wstring& path);

#endif  // ARTNET_SERIAL_SERIAL_PORT_WIN32_H_
