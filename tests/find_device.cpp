// find-device: runs the bridge's port discovery, then writes to and reads from
// the port it found as a test asks, printing what happens one line at a time:
//   found /dev/ttyUSB0       (or "found none")
//   wrote                    (after --write-hex)
//   frame <hex>              (each frame handed over, with --read)
// Options: --write-hex HEX  write these bytes with WriteDevice
//          --read           run the device reader for good
//          --hold           keep the port until standard input ends
//          --round-speed P  make the port at path P report 38400 baud, as a
//                           driver does that cannot make 1,200,000
// Discovery opens what the machine lists, so this runs only where the real
// ports are hidden (tools/without-serial-ports); elsewhere it refuses.
//
// No <termios.h> or <sys/ioctl.h> here: this file defines ioctl() itself
// (for --round-speed) and needs the kernel's termios2 for it.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/device_link.h"
#include "serial/device_reader.h"
#include "serial/serial_port.h"
#include "tools/artnet_packets.h"

namespace {

dev_t g_rounding_port = 0;  // 0: every port keeps its speed

void PrintLine(const std::string& line) {
  // One write per line: the test reads them as they come.
  const std::string text = line + "\n";
  ssize_t unused = write(STDOUT_FILENO, text.data(), text.size());
  (void)unused;
}

bool RealPortsHidden() {
  struct statfs tty_class;
  return statfs("/sys/class/tty", &tty_class) == 0 && tty_class.f_type == TMPFS_MAGIC;
}

}  // namespace

// Every ioctl() of the bridge's code lands here first.
extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  const long result = syscall(SYS_ioctl, fd, request, argument);
  struct stat port;
  if (result == 0 && request == TCGETS2 && g_rounding_port != 0 && fstat(fd, &port) == 0 &&
      port.st_rdev == g_rounding_port) {
    termios2* settings = static_cast<termios2*>(argument);
    settings->c_cflag = (settings->c_cflag & ~static_cast<tcflag_t>(CBAUD)) | B38400;
    settings->c_ispeed = 38400;
    settings->c_ospeed = 38400;
  }
  return static_cast<int>(result);
}

int main(int argc, char** argv) {
  if (!RealPortsHidden()) {
    fprintf(stderr, "find-device: run me through tools/without-serial-ports\n");
    return 2;
  }
  std::vector<std::uint8_t> to_write;
  bool read = false;
  bool hold = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--read") {
      read = true;
    } else if (option == "--hold") {
      hold = true;
    } else if (option == "--write-hex" && i + 1 < argc) {
      const std::optional<std::vector<std::uint8_t>> bytes = ParseHex(argv[++i]);
      if (!bytes) {
        fprintf(stderr, "find-device: not hex: %s\n", argv[i]);
        return 2;
      }
      to_write = *bytes;
    } else if (option == "--round-speed" && i + 1 < argc) {
      struct stat port;
      if (stat(argv[++i], &port) != 0) return 2;
      g_rounding_port = port.st_rdev;
    } else {
      fprintf(stderr, "find-device: bad option %s\n", option.c_str());
      return 2;
    }
  }

  const DeviceHandle device = FindDevicePort();
  if (device == kInvalidDevice) {
    PrintLine("found none");
    return 0;
  }
  std::string found = "?";
  struct stat chosen;
  fstat(static_cast<int>(device), &chosen);
  for (const std::string& path : ListSerialPorts()) {
    struct stat listed;
    if (stat(path.c_str(), &listed) == 0 && listed.st_rdev == chosen.st_rdev) found = path;
  }
  PrintLine("found " + found);

  if (!to_write.empty()) {
    WriteDevice(device, to_write.data(), to_write.size());
    PrintLine("wrote");
  }
  if (read) {
    DeviceLink link(device, found);
    DeviceReadLoop(link, [](const std::uint8_t* frame, std::size_t size) {
      PrintLine("frame " + Hex(frame, size));
    });
  }
  if (hold) {
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
  }
  return 0;
}
