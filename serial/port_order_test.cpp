#include "serial/port_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PortOrder, KindsBySerialcommValueName) {
  const struct {
    const char* device;
    SerialPortKind kind;
  } cases[] = {
      {"\\Device\\VCP0", SerialPortKind::kAdapter},
      {"\\Device\\USBSER000", SerialPortKind::kAdapter},
      {"\\Device\\Silabser0", SerialPortKind::kAdapter},
      {"\\Device\\ProlificSerial3", SerialPortKind::kAdapter},  // "Serial" inside: still an adapter
      {"\\Device\\com0com10", SerialPortKind::kAdapter},       // unknown drivers count as adapters
      {"", SerialPortKind::kAdapter},
      {"\\Device\\Serial0", SerialPortKind::kBuiltIn},
      {"\\Device\\Serial12", SerialPortKind::kBuiltIn},
      {"\\DEVICE\\SERIAL1", SerialPortKind::kBuiltIn},
      {"\\Device\\SerialPort", SerialPortKind::kAdapter},  // not serial.sys's name
      {"\\Device\\Serial", SerialPortKind::kAdapter},
      {"\\Device\\BthModem0", SerialPortKind::kBluetoothOrModem},
      {"\\Device\\bthmodem17", SerialPortKind::kBluetoothOrModem},
      {"\\Device\\BtPort1", SerialPortKind::kBluetoothOrModem},
      {"\\Device\\HSFModem0", SerialPortKind::kBluetoothOrModem},
      {"BthModem0", SerialPortKind::kBluetoothOrModem},  // no directory
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KindOfSerialDevice(c.device), c.kind) << c.device;
  }
}

// Adapters first, then built-in UARTs, then Bluetooth and modems; the
// registry's order within each kind.
TEST(PortOrder, AdaptersThenBuiltInThenBluetoothEachInRegistryOrder) {
  const std::vector<ListedPort> listed = {
      {"\\Device\\BthModem1", "COM4"},   {"\\Device\\Serial0", "COM1"},
      {"\\Device\\BthModem0", "COM3"},   {"\\Device\\Silabser0", "COM7"},
      {"\\Device\\Serial1", "COM2"},     {"\\Device\\VCP0", "COM12"},
      {"\\Device\\USBSER000", "COM5"},
  };
  EXPECT_EQ(PortsInTrialOrder(listed),
            (std::vector<std::string>{"COM7", "COM12", "COM5", "COM1", "COM2", "COM4", "COM3"}));
  // One kind alone: the registry's order, untouched.
  const std::vector<ListedPort> serial = {{"\\Device\\Serial4", "COM5"}, {"\\Device\\Serial2", "COM3"}};
  EXPECT_EQ(PortsInTrialOrder(serial), (std::vector<std::string>{"COM5", "COM3"}));
  EXPECT_TRUE(PortsInTrialOrder({}).empty());
}

}  // namespace
