// Linux serial port internals shared with their tests.
#ifndef ARTNET_SERIAL_SERIAL_PORT_LINUX_H_
#define ARTNET_SERIAL_SERIAL_PORT_LINUX_H_

#include <string>
#include <vector>

// The serial ports listed under `tty_class_dir` (normally /sys/class/tty), as
// device paths ("/dev/ttyUSB0"): the entries with a `device` link, leaving out
// the active system console (`tty_class_dir`/console/active) and ports whose
// `type` file says their UART is unknown (0). USB adapters (ttyUSB*, ttyACM*)
// come first, then the rest, each group in natural order (ttyUSB2 before
// ttyUSB10). Empty when the directory cannot be read.
std::vector<std::string> ListSerialPortsUnder(const std::string& tty_class_dir);

// True when `a` sorts before `b` with runs of digits compared as numbers.
bool NaturalLess(const std::string& a, const std::string& b);

#endif  // ARTNET_SERIAL_SERIAL_PORT_LINUX_H_
