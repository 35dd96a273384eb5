// Linux capture internals shared with their tests.
#ifndef ARTNET_NET_CAPTURE_SOCKET_LINUX_H_
#define ARTNET_NET_CAPTURE_SOCKET_LINUX_H_

#include <linux/filter.h>

#include <string>
#include <string_view>
#include <vector>

// An interface whose IPv4 traffic the bridge captures.
struct CapturedInterface {
  int index;
  // On the loopback interface a packet the host sends to itself passes twice,
  // once outgoing and once incoming: only the incoming copy is kept.
  bool skip_outgoing;
};

// The interface of the default IPv4 route with the lowest metric, from the
// text of /proc/net/route; empty when there is no default route.
std::string DefaultRouteInterface(std::string_view route_table);

// A classic BPF program for a SOCK_DGRAM packet socket that rejects every
// packet that is not IPv4 on one of `interfaces` (and the outgoing copies the
// interfaces ask to skip), then goes on with `rest` for the packets it lets
// through. `rest` must end in a return of its own.
std::vector<sock_filter> InterfaceFilter(const std::vector<CapturedInterface>& interfaces,
                                         const std::vector<sock_filter>& rest);

#endif  // ARTNET_NET_CAPTURE_SOCKET_LINUX_H_
