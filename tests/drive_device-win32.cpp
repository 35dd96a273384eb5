// drive-device: the bridge's device side on Windows, as the Wine tests drive
// it: discovery, then the DeviceLink that the bridge's writer thread writes
// through and its main thread reads (and reconnects) through, with the
// bridge's console writer and its watch for the computer's resume.
//
//   drive-device.exe [DEVICE=]PORT...
//
// Discovery sees only the ports named here, as HARDWARE\DEVICEMAP\SERIALCOMM
// would list them: the program gives itself a SERIALCOMM of its own, so that
// it never opens a port another test uses side by side. Each value is named
// DEVICE ("\Device\BthModem0"), or "\Device\Serial<i>" for the i-th port
// given without one; the registry enumerates them in its own order (Wine's
// is by name), and discovery tries them in the order of their kinds.
// Each line of hex on standard input is written as one message (DeviceLink::
// Write); the line "resume" has the program's windows told, as Windows tells
// every top-level window, that the computer resumed from sleep; the end of
// standard input stops the link and the program. Standard output gets the
// bridge's own console lines and one line for each event:
//   found COM91            (or "found none", and the program ends)
//   write written          (one line for each message written: written,
//                           failed, lost or abandoned)
//   frame <hex>            (each frame the reader hands over)
// Runs only under scripts/test-windows (cmake/wine-run checks the prefix).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/resume_watch.h"
#include "console/console.h"
#include "serial/device_link.h"
#include "serial/device_reader.h"
#include "serial/serial_port-win32.h"
#include "serial/serial_port.h"
#include "tools/artnet_packets.h"

namespace {

// Port and device names are ASCII ("COM91", "\Device\VCP0").
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

struct Listed {
  std::wstring device;
  std::wstring port;
};

// The SERIALCOMM values the arguments stand for.
std::vector<Listed> ValuesOf(const std::vector<std::string>& arguments) {
  std::vector<Listed> values;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::size_t equals = arguments[i].find('=');
    if (equals == std::string::npos) {
      values.push_back({L"\\Device\\Serial" + std::to_wstring(i), Widen(arguments[i])});
    } else {
      values.push_back({Widen(arguments[i].substr(0, equals)), Widen(arguments[i].substr(equals + 1))});
    }
  }
  return values;
}

// Makes HKEY_LOCAL_MACHINE, for this process only, a key of its own whose
// HARDWARE\DEVICEMAP\SERIALCOMM holds `values` and nothing else, written in
// this order. Returns the key's path under HKEY_CURRENT_USER, or empty when it
// could not be done.
std::wstring ListOnly(const std::vector<Listed>& values) {
  const std::wstring root_path =
      L"Software\\artnet-serial-bridge-drive-device-" + std::to_wstring(GetCurrentProcessId());
  HKEY root = nullptr;
  HKEY serialcomm = nullptr;
  bool done = RegCreateKeyExW(HKEY_CURRENT_USER, root_path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &root, nullptr) == ERROR_SUCCESS &&
              RegCreateKeyExW(root, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &serialcomm, nullptr) == ERROR_SUCCESS;
  for (std::size_t i = 0; done && i < values.size(); ++i) {
    const std::wstring& port = values[i].port;
    done = RegSetValueExW(serialcomm, values[i].device.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(port.c_str()),
                          static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  // The bridge's discovery opens HKEY_LOCAL_MACHINE by its predefined handle,
  // which from here on stands for `root`.
  done = done && RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == ERROR_SUCCESS;
  if (serialcomm != nullptr) RegCloseKey(serialcomm);
  if (root != nullptr) RegCloseKey(root);
  if (!done) return std::wstring();
  // Discovery must see exactly these values, in the order the registry
  // gives them (Wine's is by name).
  std::vector<std::wstring> wanted;
  std::vector<std::wstring> seen;
  for (const Listed& value : values) wanted.push_back(value.device + L"=" + value.port);
  for (const SerialcommValue& value : ListSerialcommValues()) seen.push_back(value.device + L"=" + value.port);
  std::sort(wanted.begin(), wanted.end());
  std::sort(seen.begin(), seen.end());
  return seen == wanted ? root_path : std::wstring();
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

// Tells this process's top-level windows what Windows tells every one of
// them when the computer resumes from sleep (the windows of other programs,
// drive-device.exe of a test running side by side among them, are left out).
void BroadcastResume() {
  EnumWindows(
      [](HWND window, LPARAM) -> BOOL {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) {
          SendMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
        }
        return TRUE;
      },
      0);
}

// The writer thread: each line of hex as one message, until the input ends.
void WriteLines(DeviceLink& link) {
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "resume") {
      BroadcastResume();
      continue;
    }
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
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    std::fprintf(stderr, "usage: drive-device.exe [DEVICE=]PORT...\n");
    return 2;
  }
  const std::wstring listed = ListOnly(ValuesOf(arguments));
  if (listed.empty()) {
    std::fprintf(stderr, "drive-device: could not give discovery a port list of its own\n");
    return 2;
  }
  // As the bridge runs: no thread that carries traffic waits on the console.
  StartConsoleWriter();
  std::string path;
  const DeviceHandle device = FindDevicePort(nullptr, &path);
  if (device == kInvalidDevice) {
    WriteConsoleLine("found none");
    FlushConsole();
    Unlist(listed);
    return 0;
  }
  WriteConsoleLine("found " + path);

  DeviceLink link(device, path);
  if (!WatchForResume([&link] { link.Reopen(); })) WriteConsoleLine("no resume watch");
  std::thread writer(WriteLines, std::ref(link));
  DeviceReadLoop(link, [](const std::uint8_t* frame, std::size_t size) {
    WriteConsoleLine("frame " + Hex(frame, size));
  });
  writer.join();
  link.Close();
  FlushConsole();
  Unlist(listed);
  return 0;
}
