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

// The data of every value under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM ("COM3"),
// in the registry's enumeration order. A value that cannot be read into the
// 100-byte data buffer is left out. Empty when the key cannot be opened or
// has no values. Writes nothing; any thread.
std::vector<std::wstring> ListSerialPortNames();

// The data of every value of the open `key`, read as ListSerialPortNames
// reads SERIALCOMM's: 100-character names, 100-byte data, a value that does
// not fit skipped, text up to its first zero character or the end of its
// data. The key stays open.
std::vector<std::wstring> ReadPortNames(HKEY key);

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
