// The device's serial port on Linux: the ports the kernel lists in sysfs,
// opened exclusively and set to 1,200,000 baud through termios2.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

#include "console/console.h"
#include "serial/serial_port-linux.h"
#include "serial/serial_port.h"
#include "serial/termios2-linux.h"

namespace {

// A write that makes no progress this long is reported, once.
constexpr std::int64_t kStallMs = 500;
// How often a waiting write looks whether it is to give up.
constexpr int kWriteSliceMs = 100;

// Where programs that use serial ports (minicom, cu, uucp) leave their lock
// files, "LCK..ttyUSB0" for /dev/ttyUSB0 (the Filesystem Hierarchy
// Standard's /var/lock; /run/lock on current systems, which /var/lock points
// to).
constexpr const char* kLockDirectory = "/var/lock";

bool IsUsbAdapter(const std::string& name) {
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

// The names in a sysfs file such as console/active ("tty0 ttyS0").
std::set<std::string> ReadNames(const std::string& path) {
  std::ifstream file(path);
  return std::set<std::string>(std::istream_iterator<std::string>(file),
                               std::istream_iterator<std::string>());
}

// serial_core ports have a `type` file; 0 is PORT_UNKNOWN, a UART that the
// driver did not find (on a PC most ttyS entries are such ghosts).
// USB adapters have no such file and count as known.
bool UartTypeUnknown(const std::string& entry_dir) {
  std::ifstream file(entry_dir + "/type");
  int type;
  return file >> type && type == 0;
}

std::int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int ms) {
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// True when another live process holds the UUCP lock file of the port at
// `path`. The file holds the holder's PID, as ten ASCII digits (or, from old
// programs, as a binary int). A lock whose process is gone is stale and
// ignored; it is not the bridge's to remove.
bool LockedByAnotherProgram(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::ifstream file(std::string(kLockDirectory) + "/LCK.." + name, std::ios::binary);
  if (!file) return false;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  long pid = 0;
  const bool ascii = text.find_first_not_of("0123456789 \n") == std::string::npos;
  if (!ascii && text.size() == sizeof(int)) {
    int binary = 0;
    std::copy(text.begin(), text.end(), reinterpret_cast<char*>(&binary));
    pid = binary;
  } else {
    pid = std::strtol(text.c_str(), nullptr, 10);
  }
  if (pid <= 0 || pid == getpid()) return false;
  // EPERM: the process lives, under another user.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// USB serial drivers hold received bytes in the adapter until a latency
// timer runs out (16 ms on FTDI chips) unless asked for low latency (1 ms),
// which would hold the tail of each of the device's frames that long. Ports
// that have no such setting (a pty answers ENOTTY) stay as they are.
void AskForLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
}

// Takes the port for the bridge alone and sets the link up. Both queues are
// cleared only here, before the first byte of traffic. A port given up is
// left as it was found: its settings, its modem lines and its exclusivity.
bool ConfigurePort(int fd) {
  // Programs that share ports politely (another bridge, pyserial's exclusive
  // mode) hold a lock on them. The lock goes with the descriptor.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  // A port that someone made exclusive is theirs, even to root, whom the
  // kernel lets in anyway.
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return false;
  SavedLink saved;
  int modem_lines = 0;
  if (!SaveLink(fd, &saved)) return false;
  // A pty has no modem lines: TIOCMGET fails with ENOTTY, and there is
  // nothing to put back.
  const bool modem_saved = ioctl(fd, TIOCMGET, &modem_lines) == 0;
  // From now on opens by others fail with EBUSY.
  if (ioctl(fd, TIOCEXCL) != 0) return false;
  std::uint32_t input_baud = 0;
  std::uint32_t output_baud = 0;
  const int dtr = TIOCM_DTR;
  const bool usable =
      SetRawLink(fd, kDeviceBaudRate) &&
      // A driver that cannot make the speed rounds it or keeps the one it
      // had; the device would then see garbage.
      GetLinkSpeed(fd, &input_baud, &output_baud) && input_baud == kDeviceBaudRate &&
      output_baud == kDeviceBaudRate &&
      // A pty has no modem lines: TIOCMBIS fails with ENOTTY, and the port is
      // still good for the device.
      (ioctl(fd, TIOCMBIS, &dtr) == 0 || errno == ENOTTY) && tcflush(fd, TCIOFLUSH) == 0;
  if (!usable) {
    RestoreLink(fd, saved);
    if (modem_saved) ioctl(fd, TIOCMSET, &modem_lines);
    // The mark stays on the port while anyone has it open, and on a pty for
    // as long as its other end is open: a port given up must not keep it.
    ioctl(fd, TIOCNXCL);
    return false;
  }
  AskForLowLatency(fd);
  return true;
}

// The errors of a port that has gone: an unplugged USB adapter (EIO, ENXIO,
// ENODEV), a pty whose other end closed (EIO).
bool IsLost(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }

}  // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool a_digit = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool b_digit = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (a_digit && b_digit) {
      std::size_t a_end = i;
      std::size_t b_end = j;
      while (a_end < a.size() && std::isdigit(static_cast<unsigned char>(a[a_end]))) ++a_end;
      while (b_end < b.size() && std::isdigit(static_cast<unsigned char>(b[b_end]))) ++b_end;
      // Numbers of any length: compare without leading zeros, shorter first.
      while (i + 1 < a_end && a[i] == '0') ++i;
      while (j + 1 < b_end && b[j] == '0') ++j;
      if (a_end - i != b_end - j) return a_end - i < b_end - j;
      const int order = a.compare(i, a_end - i, b, j, b_end - j);
      if (order != 0) return order < 0;
      i = a_end;
      j = b_end;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;  // Equal but for leading zeros: any fixed order will do.
}

std::vector<std::string> ListSerialPortsUnder(const std::string& tty_class_dir) {
  std::vector<std::string> names;
  DIR* dir = opendir(tty_class_dir.c_str());
  if (dir == nullptr) return names;
  // A bridge must never take over the console someone may be logged in on.
  const std::set<std::string> consoles = ReadNames(tty_class_dir + "/console/active");
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || consoles.count(name) != 0) continue;
    const std::string entry_dir = tty_class_dir + "/" + name;
    // Only ttys backed by hardware have a device; virtual consoles and ptys
    // do not.
    struct stat link;
    if (lstat((entry_dir + "/device").c_str(), &link) != 0) continue;
    if (UartTypeUnknown(entry_dir)) continue;
    names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    if (IsUsbAdapter(a) != IsUsbAdapter(b)) return IsUsbAdapter(a);
    return NaturalLess(a, b);
  });
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back("/dev/" + name);
  return paths;
}

DeviceHandle OpenDevicePort(const std::string& path) {
  // Not even opened: opening may raise DTR on some drivers.
  if (LockedByAnotherProgram(path)) return kInvalidDevice;
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kInvalidDevice;
  if (!ConfigurePort(fd)) {
    close(fd);
    return kInvalidDevice;
  }
  return fd;
}

std::vector<std::string> ListSerialPorts() { return ListSerialPortsUnder("/sys/class/tty"); }

void WriteFailedMessage(const DeviceWrite& write) { WriteMessage(Message::SerialWriteFailed, write.error); }

void CloseDevicePort(DeviceHandle device) {
  const int fd = static_cast<int>(device);
  // On a pty the exclusive mark outlives the descriptor while the other end
  // is open, and would keep the next start of the bridge out.
  ioctl(fd, TIOCNXCL);
  close(fd);  // The flock goes with it.
}

DeviceWrite WriteDevice(DeviceHandle device, const std::uint8_t* data, std::size_t length,
                        const std::atomic<bool>* abandon) {
  if (length > kMaxDeviceMessage) return {WriteResult::kFailed, static_cast<std::uint32_t>(EMSGSIZE)};
  const int fd = static_cast<int>(device);
  std::int64_t last_progress = MonotonicMs();
  bool stall_reported = false;
  std::size_t sent = 0;
  while (sent < length || length == 0) {
    const ssize_t n = write(fd, data + sent, length - sent);
    if (n > 0 || (n == 0 && length == 0)) {
      sent += static_cast<std::size_t>(n);
      last_progress = MonotonicMs();
      stall_reported = false;
      if (length == 0) break;
      continue;
    }
    const int error = n < 0 ? errno : EAGAIN;
    if (error == EINTR) continue;
    if (IsLost(error)) return {WriteResult::kLost, static_cast<std::uint32_t>(error)};
    if (error != EAGAIN) return {WriteResult::kFailed, static_cast<std::uint32_t>(error)};
    // The driver's queue is full: the device is not taking bytes as fast as
    // they come. What was written of the message stays written, so the rest
    // must follow, whenever the device takes it.
    for (;;) {
      if (abandon != nullptr && abandon->load()) {
        return {WriteResult::kAbandoned, 0};
      }
      pollfd port{fd, POLLOUT, 0};
      const int ready = poll(&port, 1, kWriteSliceMs);
      if (!stall_reported && MonotonicMs() - last_progress >= kStallMs) {
        // The code is that of the write that could not go on.
        WriteMessage(Message::SerialWriteTimeout, static_cast<std::uint32_t>(EAGAIN));
        stall_reported = true;
      }
      // Room, or hung up: the next write says which.
      if (ready > 0) break;
      if (ready < 0 && errno != EINTR) {
        return {WriteResult::kFailed, static_cast<std::uint32_t>(errno)};
      }
    }
  }
  return {WriteResult::kWritten, 0};
}

std::size_t DeviceOutputQueued(DeviceHandle device) {
  int queued = 0;
  if (ioctl(static_cast<int>(device), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::size_t>(queued);
}

std::size_t ReadDevice(DeviceHandle device, std::uint8_t* buffer, std::size_t capacity, bool* lost) {
  if (lost != nullptr) *lost = false;
  if (capacity == 0) return 0;
  const int fd = static_cast<int>(device);
  pollfd port{fd, POLLIN, 0};
  const int ready = poll(&port, 1, kReadWaitMs);
  if (ready <= 0) return 0;  // Silence, or a signal.
  if ((port.revents & POLLIN) != 0) {
    const ssize_t n = read(fd, buffer, capacity);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (n < 0 && !IsLost(errno)) return 0;
    // End of file (a hung-up tty), EIO, ENXIO: the device is gone.
  }
  // The port is gone (an adapter unplugged, the other end of a pty closed):
  // poll would now return at once forever. Wait as for a silent device, so
  // that no caller spins on it.
  if (lost != nullptr) *lost = true;
  SleepMs(kReadWaitMs);
  return 0;
}
