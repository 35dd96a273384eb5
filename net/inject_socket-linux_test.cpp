#include <arpa/inet.h>
#include <errno.h>

#include <gtest/gtest.h>

#include <string>

#include "net/inject_socket.h"

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Every frame fails alike while the network is gone: said once, and again
// only after a send went out or the failure changed.
TEST(SendLocalDatagram, ARunOfTheSameFailureIsReportedOnce) {
  const std::uint8_t frame[4] = {'O', 'K', '\r', '\n'};
  const LocalAddress loopback = htonl(0x7F000001);
  // No socket at all, as when the raw socket could not be made: EBADF.
  const NativeSocket closed = kInvalidSocket;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(SendLocalDatagram(closed, loopback, loopback, frame, 4), -1);
  std::uint8_t too_long[2048] = {};
  EXPECT_EQ(SendLocalDatagram(closed, loopback, loopback, too_long, sizeof too_long), -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SendLocalDatagram(closed, loopback, loopback, frame, 4), -1);
  const std::string output = testing::internal::GetCapturedStdout();
  const std::string problem = "encountered some problems, please restart the program. code - ";
  EXPECT_EQ(Count(output, problem + std::to_string(EBADF) + "\n"), 2u) << output;
  EXPECT_EQ(Count(output, problem + std::to_string(EMSGSIZE) + "\n"), 1u) << output;
}

}  // namespace
