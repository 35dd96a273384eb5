/* Loaded into a wineserver (LD_PRELOAD) by the Windows tests that start the
 * bridge under Wine. The bridge captures through raw IPv4 sockets of
 * protocol 0 (IPPROTO_IP), which Windows has and Linux does not: Wine hands
 * socket(AF_INET, SOCK_RAW, 0) to Linux, which refuses it
 * (EPROTONOSUPPORT), and start-up ends there. Here such a socket is made for
 * UDP instead, the nearest Linux has: it delivers the UDP datagrams to the
 * address it is bound to, IPv4 header first, as a raw socket of Windows does
 * without receive-all mode, which Wine does not offer (WSAIoctl SIO_RCVALL
 * fails with WSAEOPNOTSUPP). So the bridge gets as far under Wine as on a
 * Windows PC whose adapters all refuse receive-all mode. Nothing else
 * changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  static int (*real_socket)(int, int, int);
  if (real_socket == NULL) real_socket = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  /* The type may carry SOCK_NONBLOCK and SOCK_CLOEXEC. */
  if (domain == AF_INET && (type & 0xF) == SOCK_RAW && protocol == 0) protocol = IPPROTO_UDP;
  return real_socket(domain, type, protocol);
}
