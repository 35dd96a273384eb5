// drive-device: the bridge's device side on Windows, as the Wine tests drive
// it: discovery, then the DeviceLink that the bridge's writer thread writes
// through and its main thread reads (and reconnects) through.
//
//   drive-device.exe PORT...
//
// Discovery sees only the ports named here, as HARDWARE\DEVICEMAP\SERIALCOMM
// would list them, in this order: the program gives itself a SERIALCOMM of
// its own, so that it never opens a port another test uses side by side.
// Each line of hex on standard input is written as one message (DeviceLink::
// Write); the end of standard input stops the link and the program. Standard
// output gets the bridge's own console lines and one line for each event:
//   found COM91            (or "found none", and the program ends)
//   write written          (one line for each message written: written,
//                           failed CODE, lost or abandoned)
//   frame <hex>            (each frame the reader hands over)
// Runs only under scripts/test-windows (cmake/wine-run checks the prefix).
#include <windows.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "serial/device_link.h"
#include "serial/device_reader.h"
#include "serial/serial_port.h"
#include "tools/artnet_packets.h"

namespace {

// Port names are ASCII ("COM91").
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Makes HKEY_LOCAL_MACHINE, for this process only, a key of its own whose
// HARDWARE\DEVICEMAP\SERIALCOMM lists `ports` and nothing else, in this order
// (value names as the serial driver gives them, "\Device\Serial<n>"). Returns
// the key's path under HKEY_CURRENT_USER, or empty when it could not be done.
std::wstring ListOnly(const std::vector<std::string>& ports) {
  const std::wstring root_path =
      L"Software\\artnet-serial-bridge-drive-device-" + std::to_wstring(GetCurrentProcessId());
  HKEY root = nullptr;
  HKEY serialcomm = nullptr;
  bool done = RegCreateKeyExW(HKEY_CURRENT_USER, root_path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &root, nullptr) == ERROR_SUCCESS &&
              RegCreateKeyExW(root, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &serialcomm, nullptr) == ERROR_SUCCESS;
  for (std::size_t i = 0; done && i < ports.size(); ++i) {
    const std::wstring name = L"\\Device\\Serial" + std::to_wstring(i);
    const std::wstring port = Widen(ports[i]);
    done = RegSetValueExW(serialcomm, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                          static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  // The bridge's discovery opens HKEY_LOCAL_MACHINE by its predefined handle,
  // which from here on stands for `root`.
  done = done && RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == ERROR_SUCCESS;
  if (serialcomm != nullptr) RegCloseKey(serialcomm);
  if (root != nullptr) RegCloseKey(root);
  if (!done) return std::wstring();
  return ListSerialPorts() == ports ? root_path : std::wstring();
}

void Unlist(const std::wstring& root_path) {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeW(HKEY_CURRENT_USER, root_path.c_str());
}

const char* ResultName(WriteResult result) {
  switch (result) {
    case WriteResult::kWritten:
      return "written";
    case WriteResult::kFailed:
      return "failed";
    case WriteResult::kLost:
      return "lost";
    case WriteResult::kAbandoned:
      return "abandoned";
  }
  return "?";
}

// The writer thread: each line of hex as one message, until the input ends.
void WriteLines(DeviceLink& link) {
  for (std::string line; std::getline(std::cin, line);) {
    const std::optional<std::vector<std::uint8_t>> message = ParseHex(line);
    if (!message || message->empty() || message->size() > kMaxDeviceMessage) {
      WriteConsoleLine("bad line " + line);
      continue;
    }
    WriteConsoleLine(std::string("write ") + ResultName(link.Write(message->data(), message->size())));
  }
  link.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> ports(argv + 1, argv + argc);
  if (ports.empty()) {
    std::fprintf(stderr, "usage: drive-device.exe PORT...\n");
    return 2;
  }
  const std::wstring listed = ListOnly(ports);
  if (listed.empty()) {
    std::fprintf(stderr, "drive-device: could not give discovery a port list of its own\n");
    return 2;
  }
  std::string path;
  const DeviceHandle device = FindDevicePort(nullptr, &path);
  if (device == kInvalidDevice) {
    WriteConsoleLine("found none");
    Unlist(listed);
    return 0;
  }
  WriteConsoleLine("found " + path);

  DeviceLink link(device, path);
  std::thread writer(WriteLines, std::ref(link));
  DeviceReadLoop(link, [](const std::uint8_t* frame, std::size_t size) {
    WriteConsoleLine("frame " + Hex(frame, size));
  });
  writer.join();
  link.Close();
  Unlist(listed);
  return 0;
}
