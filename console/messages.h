// The bridge's console messages: one table of fixed bilingual texts, and the
// way a message line is put together.
//
// The texts are stored as code page 936 (GBK) bytes, the encoding the bridge
// shows on a Chinese Windows console; console.h writes them, converted for the
// console at hand. This file is pure: no console, no operating system.
#ifndef ARTNET_CONSOLE_MESSAGES_H_
#define ARTNET_CONSOLE_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

enum class Message {
  NetworkInitFailed,
  NoDeviceFound,
  Running,
  InitCompleted,
  WinsockLoadFailed,
  NeedAdministrator,
  CommunicationError,
  SendProblem,
  SerialWriteFailed,
  SerialWriteTimeout,
  DeviceLost,
  DeviceReconnected,
  // The prompt before the bridge ends on a start-up failure, written without
  // a line end: the key ends the line.
  PressAnyKey,
  AdapterNotCaptured,
  kCount
};

// The text of a message, as GBK bytes, without its code or line end.
std::string_view MessageText(Message message);

// One message line as GBK bytes, less its line end (the console adds the
// platform's): the text, then the code (when given), then the offset tail
// (when given). System error codes are unsigned 32-bit numbers, socket error
// codes signed ones.
std::string FormatMessageLine(Message message);
std::string FormatMessageLine(Message message, std::uint32_t system_error);
std::string FormatMessageLineSigned(Message message, std::int32_t socket_error);
std::string FormatMessageLine(Message message, std::uint32_t system_error,
                              std::uint32_t offset, std::uint32_t offset_high);
// The text, the code, then the address tail: ", address - " and the address
// ("10.0.0.7"), for the messages about one adapter.
std::string FormatMessageLine(Message message, std::uint32_t system_error, std::string_view address);

#endif  // ARTNET_CONSOLE_MESSAGES_H_
