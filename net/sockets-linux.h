// The socket library's headers on Linux, for the portable files that call it
// directly (CMake passes this file's name as ARTNET_SOCKETS_HEADER).
#ifndef ARTNET_NET_SOCKETS_LINUX_H_
#define ARTNET_NET_SOCKETS_LINUX_H_

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#endif  // ARTNET_NET_SOCKETS_LINUX_H_
