#include "net/local_address.h"

// gethostname, getaddrinfo and sockaddr_in: <unistd.h> and <netdb.h> on Linux,
// Winsock's headers on Windows. CMake names the platform's header.
#include ARTNET_SOCKETS_HEADER

LocalAddress GetLocalIPv4() {
  char name[256];
  if (gethostname(name, sizeof name) != 0) return 0;
  // A name that fills the buffer need not end in a zero byte.
  name[sizeof name - 1] = '\0';
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  // Only the list counts: a failed look-up leaves it empty.
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) list = nullptr;
  if (list == nullptr) return 0;
  const LocalAddress address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(list);
  return address;
}
