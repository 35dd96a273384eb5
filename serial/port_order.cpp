#include "serial/port_order.h"

#include <algorithm>
#include <cctype>

namespace {

// The device name less its "\Device\" directory, in lower case: drivers do
// not agree on the case of their names, and neither does the registry.
std::string BaseName(std::string_view device_name) {
  const std::size_t slash = device_name.rfind('\\');
  std::string base(slash == std::string_view::npos ? device_name : device_name.substr(slash + 1));
  std::transform(base.begin(), base.end(), base.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return base;
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

SerialPortKind KindOfSerialDevice(std::string_view device_name) {
  const std::string base = BaseName(device_name);
  // Windows' own Bluetooth serial ports are bthmodem.sys's, "\Device\BthModem0";
  // other Bluetooth stacks and modems name theirs after what they are.
  if (StartsWith(base, "bth") || Contains(base, "bluetooth") || StartsWith(base, "btport") ||
      Contains(base, "modem")) {
    return SerialPortKind::kBluetoothOrModem;
  }
  // serial.sys names the UARTs it drives "\Device\Serial<m>" ("External Naming
  // of COM Ports", https://learn.microsoft.com/windows-hardware/drivers/serports/external-naming-of-com-ports).
  if (StartsWith(base, "serial") && base.size() > 6 &&
      std::all_of(base.begin() + 6, base.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return SerialPortKind::kBuiltIn;
  }
  // The USB serial adapters' drivers name theirs "\Device\VCP0" (FTDI),
  // "\Device\Silabser0" (Silicon Labs CP210x), "\Device\ProlificSerial0"
  // (Prolific PL2303), "\Device\USBSER000" (Windows' usbser.sys, for CDC
  // adapters and boards); any other name is most likely an adapter's too.
  return SerialPortKind::kAdapter;
}

std::vector<std::string> PortsInTrialOrder(const std::vector<ListedPort>& listed) {
  std::vector<ListedPort> ordered(listed);
  std::stable_sort(ordered.begin(), ordered.end(), [](const ListedPort& a, const ListedPort& b) {
    return KindOfSerialDevice(a.device) < KindOfSerialDevice(b.device);
  });
  std::vector<std::string> ports;
  ports.reserve(ordered.size());
  for (const ListedPort& entry : ordered) ports.push_back(entry.port);
  return ports;
}
