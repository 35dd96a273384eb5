// This file exists only to keep the kernel's <asm/termbits.h> apart from the C
// library's <termios.h>: both define struct termios and the same flag names,
// so no file can include the two. Arbitrary speeds (BOTHER) need the kernel's
// struct termios2, which glibc does not offer.
#include "serial/termios2-linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

bool SetRawLink(int fd, std::uint32_t baud) {
  termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  // Raw: every byte passes unchanged both ways. With ICRNL a device's "OK\r\n"
  // would arrive as "OK\n\n"; with ONLCR (OPOST) a '\n' in an Art-Net packet
  // would leave as "\r\n"; with IXON a 0x13 byte would stop the output.
  settings.c_iflag = 0;
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
  settings.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  // BOTHER in the output speed bits and none in CIBAUD: the kernel takes both
  // speeds from these two fields.
  settings.c_ispeed = baud;
  settings.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

bool GetLinkSpeed(int fd, std::uint32_t* input_baud, std::uint32_t* output_baud) {
  termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  *input_baud = settings.c_ispeed;
  *output_baud = settings.c_ospeed;
  return true;
}

static_assert(sizeof(termios2) <= sizeof(SavedLink::bytes), "a SavedLink holds a termios2");

bool SaveLink(int fd, SavedLink* saved) {
  termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  std::memcpy(saved->bytes, &settings, sizeof settings);
  return true;
}

bool RestoreLink(int fd, const SavedLink& saved) {
  termios2 settings;
  std::memcpy(&settings, saved.bytes, sizeof settings);
  return ioctl(fd, TCSETS2, &settings) == 0;
}
