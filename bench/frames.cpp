// Device to network on the wire: the simulated device sends the frames (one
// hex line each on its standard input) and this peer is the controller that
// receives them.
//
// frames --count N [--size S] [--first K]: N hex lines, DeviceFrame(K + i, S).
//
// listen --recv-ns NS --listen ADDRESS:PORT: receives every datagram at that
// socket until its standard input ends, then prints one line for each,
// "NS SENDER HEX": when it came (CLOCK_MONOTONIC), from which
// address:port, and its payload. Kept in memory meanwhile, so that writing
// never holds the receiving up.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/peer.h"

int RunFrames(const Options& options) {
  const long long count = options.Number("count", 1);
  const std::size_t size = static_cast<std::size_t>(options.Number("size", kPollReplyFrameSize));
  const long long first = options.Number("first", 0);
  for (long long i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> frame = DeviceFrame(static_cast<std::uint64_t>(first + i), size);
    std::printf("%s\n", Hex(frame.data(), frame.size()).c_str());
  }
  return 0;
}

int RunListen(const Options& options) {
  const int fd = OpenUdp(options.Text("recv-ns"), options.Text("listen"), 8 << 20);
  struct Datagram {
    std::int64_t at;
    sockaddr_in from;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Datagram> received;
  std::vector<std::uint8_t> buffer(65536);
  // Say when listening, so that nothing is sent before.
  std::printf("listening\n");
  std::fflush(stdout);
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[0].revents & POLLIN) != 0) {
      sockaddr_in from{};
      socklen_t from_size = sizeof from;
      const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                   &from_size);
      const std::int64_t at = NowNs();
      if (got >= 0) received.push_back({at, from, {buffer.begin(), buffer.begin() + got}});
      continue;  // The socket first: what came before the end counts.
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char ignored[256];
      if (read(STDIN_FILENO, ignored, sizeof ignored) <= 0) break;
    }
  }
  for (const Datagram& datagram : received) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &datagram.from.sin_addr, address, sizeof address);
    std::printf("%lld %s:%u %s\n", static_cast<long long>(datagram.at), address, ntohs(datagram.from.sin_port),
                Hex(datagram.bytes.data(), datagram.bytes.size()).c_str());
  }
  return 0;
}
