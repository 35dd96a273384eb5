#include "console/messages.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// Every text as its bytes: GBK for the Chinese half, with the runs of spaces,
// the TAB and the CR LF pairs exactly where they belong.
TEST(Messages, TextsAreTheExactGbkBytes) {
  const struct {
    Message message;
    const char* bytes;
  } kExpected[] = {
      {Message::NetworkInitFailed,
       "\xCD\xF8\xC2\xE7\xB3\xF5\xCA\xBC\xBB\xAF\xCA\xA7\xB0\xDC.   Network initialization failed."},
      {Message::NoDeviceFound,
       "\xCE\xB4\xB7\xA2\xCF\xD6\xC9\xE8\xB1\xB8\xC1\xAC\xBD\xD3.   No device connection found."},
      {Message::Running,
       "\xB3\xCC\xD0\xF2\xD4\xCB\xD0\xD0\xD6\xD0\r\nWhen the program is running normally.\r\n"
       "\xB9\xD8\xB1\xD5\xB4\xB0\xBF\xDA\xBF\xC9\xD2\xD4\xCD\xCB\xB3\xF6\xB3\xCC\xD0\xF2\r\n"
       "close the window to exit the program."},
      {Message::InitCompleted, "\xB3\xF5\xCA\xBC\xBB\xAF\xCD\xEA\xB3\xC9\r\nInitialization completed"},
      {Message::WinsockLoadFailed,
       "\xCA\xA7\xB0\xDC: \xBC\xD3\xD4\xD8ws2_32.lib\xCA\xA7\xB0\xDC;\t"
       "Failed: loading ws2_32.lib exception; code = "},
      {Message::NeedAdministrator,
       "\xD0\xE8\xD2\xAA\xB9\xDC\xC0\xED\xD4\xB1\xC8\xA8\xCF\xDE\xC6\xF4\xB6\xAF\xB3\xCC\xD0\xF2."
       "   Requires administrator privileges to start the program.    code - "},
      {Message::CommunicationError,
       "\xCD\xA8\xD0\xC5\xB4\xED\xCE\xF3,\xC7\xEB\xD6\xD8\xD0\xC2\xC6\xF4\xB6\xAF\xB3\xCC\xD0\xF2."
       "  Communication error, please restart the program.    code - "},
      {Message::SendProblem,
       "\xD3\xF6\xB5\xBD\xC1\xCB\xD2\xBB\xD0\xA9\xCE\xCA\xCC\xE2,\xC7\xEB\xD6\xD8\xD0\xC2\xC6\xF4"
       "\xB6\xAF\xB4\xCB\xB3\xCC\xD0\xF2.  encountered some problems, please restart the program. code - "},
      {Message::SerialWriteFailed,
       "\xB4\xAE\xBF\xDA\xD0\xB4\xC8\xEB\xCA\xA7\xB0\xDC.    Serial port write failed.   code - "},
      {Message::SerialWriteTimeout,
       "\xB4\xAE\xBF\xDA\xD0\xB4\xC8\xEB\xB3\xAC\xCA\xB1.    Serial write timeout.   code - "},
      {Message::DeviceLost,
       "\xC9\xE8\xB1\xB8\xC1\xAC\xBD\xD3\xD2\xD1\xB6\xCF\xBF\xAA,\xD5\xFD\xD4\xDA\xB5\xC8\xB4\xFD"
       "\xC9\xE8\xB1\xB8.   Device connection lost, waiting for the device."},
      {Message::DeviceReconnected,
       "\xC9\xE8\xB1\xB8\xD2\xD1\xD6\xD8\xD0\xC2\xC1\xAC\xBD\xD3.   Device connected again."},
      // cmd's own words for the English half, its trailing space included.
      {Message::PressAnyKey,
       "\xC7\xEB\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBC\xCC\xD0\xF8.   Press any key to continue . . . "},
      {Message::AdapterNotCaptured,
       "\xCE\xDE\xB7\xA8\xD4\xDA\xB4\xCB\xCD\xF8\xBF\xA8\xC9\xCF\xB2\xB6\xBB\xF1\xCA\xFD\xBE\xDD,"
       "\xD2\xD1\xCC\xF8\xB9\xFD\xB4\xCB\xCD\xF8\xBF\xA8."
       "   Cannot capture on an adapter, going on without it.    code - "},
  };
  ASSERT_EQ(std::size(kExpected), static_cast<std::size_t>(Message::kCount));
  for (const auto& expected : kExpected) {
    EXPECT_EQ(MessageText(expected.message), std::string(expected.bytes))
        << "message " << static_cast<int>(expected.message);
  }
}

TEST(Messages, CodesAndTails) {
  // System codes are unsigned: all bits set is 4294967295, never -1.
  EXPECT_EQ(FormatMessageLine(Message::NeedAdministrator, 0xFFFFFFFFu),
            std::string(MessageText(Message::NeedAdministrator)) + "4294967295");
  EXPECT_EQ(FormatMessageLine(Message::SerialWriteTimeout, 0u),
            std::string(MessageText(Message::SerialWriteTimeout)) + "0");
  // Socket codes are signed and follow the trailing space directly.
  EXPECT_EQ(FormatMessageLineSigned(Message::SendProblem, -1),
            std::string(MessageText(Message::SendProblem)) + "-1");
  EXPECT_EQ(FormatMessageLineSigned(Message::SendProblem, 10013),
            std::string(MessageText(Message::SendProblem)) + "10013");
  EXPECT_EQ(FormatMessageLineSigned(Message::SendProblem, INT_MIN),
            std::string(MessageText(Message::SendProblem)) + "-2147483648");
  // The offset tail after a failed write.
  EXPECT_EQ(FormatMessageLine(Message::SerialWriteFailed, 995u, 0u, 4294967295u),
            std::string(MessageText(Message::SerialWriteFailed)) +
                "995, offset - 0, OffsetHigh - 4294967295");
  // The address tail of a message about one adapter.
  EXPECT_EQ(FormatMessageLine(Message::AdapterNotCaptured, 10022u, "2.0.0.1"),
            std::string(MessageText(Message::AdapterNotCaptured)) + "10022, address - 2.0.0.1");
  // Messages without a code end right after their text.
  EXPECT_EQ(FormatMessageLine(Message::Running),
            std::string(MessageText(Message::Running)));
}

}  // namespace
