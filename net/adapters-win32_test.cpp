#include <winsock2.h>

#include <gtest/gtest.h>

#include "net/adapters.h"

namespace {

// GetAdaptersAddresses as the bridge reads it: the loopback adapter with
// 127.0.0.1/8, up, which the bridge never captures; every other address
// with its adapter's index and a network prefix.
TEST(AdaptersWin32, ListsEveryIPv4AddressWithItsAdapter) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  const std::vector<AdapterAddress> found = ListAdapterAddresses();
  ASSERT_FALSE(found.empty());
  bool loopback = false;
  for (const AdapterAddress& entry : found) {
    EXPECT_GT(entry.interface_index, 0);
    EXPECT_GE(entry.prefix_length, 0);
    EXPECT_LE(entry.prefix_length, 32);
    if (entry.address == htonl(INADDR_LOOPBACK)) {
      loopback = true;
      EXPECT_TRUE(entry.loopback);
      EXPECT_TRUE(entry.up);
      EXPECT_EQ(entry.prefix_length, 8);
    }
  }
  EXPECT_TRUE(loopback) << "no 127.0.0.1 in " << FormatAddresses(found);
  for (const AdapterAddress& entry : AddressesToCapture(found)) {
    EXPECT_FALSE(entry.loopback) << FormatAddress(entry.address);
  }
}

}  // namespace
