// The serial link's settings, made through the kernel's termios2 interface:
// the only way to ask Linux for 1,200,000 baud, which has no B constant.
#ifndef ARTNET_SERIAL_TERMIOS2_LINUX_H_
#define ARTNET_SERIAL_TERMIOS2_LINUX_H_

#include <cstdint>

// Puts the open tty `fd` in raw mode (no echo, no signals, no canonical
// input, no CR/LF translation on either side, no software or hardware flow
// control), 8 data bits, no parity, one stop bit, receiver on, modem-control
// lines ignored, reads that wait for one byte, and `baud` in both directions.
// Returns false, with errno set, when the port refuses the settings. The
// driver may still round the speed: read it back with GetLinkSpeed.
bool SetRawLink(int fd, std::uint32_t baud);

// The speeds the port's driver actually runs at. False, with errno set, when
// they cannot be read.
bool GetLinkSpeed(int fd, std::uint32_t* input_baud, std::uint32_t* output_baud);

// A port's settings as some other program left them, kept so that a port the
// bridge tried and gave up gets them back. Opaque: it holds a struct termios2.
struct SavedLink {
  alignas(8) unsigned char bytes[64];
};
bool SaveLink(int fd, SavedLink* saved);
bool RestoreLink(int fd, const SavedLink& saved);

#endif  // ARTNET_SERIAL_TERMIOS2_LINUX_H_
