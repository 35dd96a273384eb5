#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "net/adapters.h"

namespace {

bool SetAddress(int control, const char* name, const char* address, const char* mask) {
  ifreq request{};
  std::strcpy(request.ifr_name, name);
  auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, address, &in->sin_addr);
  if (ioctl(control, SIOCSIFADDR, &request) != 0) return false;
  in = reinterpret_cast<sockaddr_in*>(&request.ifr_netmask);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, mask, &in->sin_addr);
  return ioctl(control, SIOCSIFNETMASK, &request) == 0;
}

// In a network namespace of its own: lo, up, with 127.0.0.1/8 and a second
// address under a label ("lo:1", as ifconfig makes them), which getifaddrs
// lists under the label: it belongs to lo all the same, with its prefix.
TEST(AdaptersLinux, ListsAddressesWithTheirInterfaceAndPrefix) {
  std::string skip;
  std::vector<AdapterAddress> found;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      skip = std::string("no network namespace: ") + std::strerror(errno);
      return;
    }
    const int control = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    ioctl(control, SIOCGIFFLAGS, &request);
    request.ifr_flags |= IFF_UP;
    if (ioctl(control, SIOCSIFFLAGS, &request) != 0 || !SetAddress(control, "lo:1", "10.9.8.7", "255.255.240.0")) {
      skip = "cannot configure lo";
    }
    close(control);
    found = ListAdapterAddresses();
  }).join();
  if (!skip.empty()) GTEST_SKIP() << skip;
  ASSERT_EQ(FormatAddresses(found), "127.0.0.1 10.9.8.7");
  for (const AdapterAddress& entry : found) {
    EXPECT_EQ(entry.interface_index, 1);  // lo in a fresh namespace
    EXPECT_TRUE(entry.up);
    EXPECT_TRUE(entry.loopback);
  }
  EXPECT_EQ(found[0].prefix_length, 8);
  EXPECT_EQ(found[1].prefix_length, 20);
  EXPECT_TRUE(AddressesToCapture(found).empty()) << "the loopback adapter is never captured";
}

}  // namespace
