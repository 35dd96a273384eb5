// The order in which discovery tries the serial ports Windows lists.
//
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM holds one value per port: its name is
// the driver's device object ("\Device\VCP0"), its data the port
// ("COM3"). The registry enumerates them in no documented order, and a
// Bluetooth serial port can take seconds to open (or refuse only after a
// long wait for its remote device), so the ports are tried by kind: USB
// serial adapters first, then the computer's own UARTs, then Bluetooth and
// modem ports; each kind in the order the registry gave.
//
// Pure: the device object's name is all it looks at, and it is tested
// wherever the bridge is built.
#ifndef ARTNET_SERIAL_PORT_ORDER_H_
#define ARTNET_SERIAL_PORT_ORDER_H_

#include <string>
#include <string_view>
#include <vector>

enum class SerialPortKind {
  kAdapter,           // A USB serial adapter, or any driver not named below.
  kBuiltIn,           // The in-box serial.sys driver's UARTs.
  kBluetoothOrModem,  // A Bluetooth link's port or a modem's.
};

// The kind of port a SERIALCOMM value name ("\Device\Serial0") stands for.
SerialPortKind KindOfSerialDevice(std::string_view device_name);

// One SERIALCOMM value.
struct ListedPort {
  std::string device;  // The value's name: "\Device\Silabser0".
  std::string port;    // Its data: "COM5".
};

// The ports of `listed` (the registry's order) in the order discovery tries
// them.
std::vector<std::string> PortsInTrialOrder(const std::vector<ListedPort>& listed);

#endif  // ARTNET_SERIAL_PORT_ORDER_H_
