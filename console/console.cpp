#include "console/console.h"

void WriteMessage(Message message) { WriteConsoleLine(FormatMessageLine(message)); }

void WriteMessage(Message message, std::uint32_t system_error) {
  WriteConsoleLine(FormatMessageLine(message, system_error));
}

void WriteMessageSigned(Message message, std::int32_t socket_error) {
  WriteConsoleLine(FormatMessageLineSigned(message, socket_error));
}

void WriteMessage(Message message, std::uint32_t system_error, std::uint32_t offset,
                  std::uint32_t offset_high) {
  WriteConsoleLine(FormatMessageLine(message, system_error, offset, offset_high));
}

void WriteMessage(Message message, std::uint32_t system_error, std::string_view address) {
  WriteConsoleLine(FormatMessageLine(message, system_error, address));
}
