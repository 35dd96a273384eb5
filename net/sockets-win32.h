// The socket library's headers on Windows, for the portable files that call
// it directly (CMake passes this file's name as ARTNET_SOCKETS_HEADER).
#ifndef ARTNET_NET_SOCKETS_WIN32_H_
#define ARTNET_NET_SOCKETS_WIN32_H_

#include <winsock2.h>
#include <ws2tcpip.h>

#endif  // ARTNET_NET_SOCKETS_WIN32_H_
