// The adapters as Linux lists them (getifaddrs) and tells of their changes
// (rtnetlink).
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "net/adapters.h"

std::vector<AdapterAddress> ListAdapterAddresses() {
  std::vector<AdapterAddress> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    // An address with a label ("eth0:1") is listed under it; the interface
    // is the name before the colon.
    std::string name = entry->ifa_name;
    name = name.substr(0, name.find(':'));
    AdapterAddress address;
    address.interface_index = static_cast<int>(if_nametoindex(name.c_str()));
    if (address.interface_index <= 0) continue;  // Gone since the listing.
    address.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    address.prefix_length =
        entry->ifa_netmask == nullptr
            ? 32
            : __builtin_popcount(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
    address.up = (entry->ifa_flags & IFF_UP) != 0;
    address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    found.push_back(address);
  }
  freeifaddrs(list);
  return found;
}

ChangeNotices OpenChangeNotices() {
  // Links and IPv4 addresses: an adapter that comes, goes, goes up or down,
  // or gains or loses an address. Joining these groups needs no right.
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return kNoChangeNotices;
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
    close(fd);
    return kNoChangeNotices;
  }
  return fd;
}

Notices DrainChangeNotices(ChangeNotices notices) {
  const int fd = static_cast<int>(notices);
  bool changed = false;
  std::uint8_t buffer[8192];
  for (;;) {
    const ssize_t count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count >= 0) {
      changed = true;
      continue;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return changed ? Notices::kChanged : Notices::kNone;
    // The socket's buffer overflowed: notices were lost, so something changed.
    if (error == ENOBUFS) {
      changed = true;
      continue;
    }
    return Notices::kBroken;
  }
}
