#include "bench/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

std::int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline) {
  timespec until;
  until.tv_sec = deadline / 1000000000;
  until.tv_nsec = deadline % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

Options::Options(int argc, char** argv) {
  for (int i = 0; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name.rfind("--", 0) != 0) Die("expected --name value, got " + name);
    values_[name.substr(2)] = argv[i + 1];
  }
  if (argc % 2 != 0) Die(std::string("option without a value: ") + argv[argc - 1]);
}

std::string Options::Text(const std::string& name, const std::string& fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

long long Options::Number(const std::string& name, long long fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : std::atoll(found->second.c_str());
}

void PinThisThread(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) {
    Die("cannot keep to processor " + std::to_string(cpu) + ": " + std::strerror(errno));
  }
}

void Die(const std::string& what) {
  std::fprintf(stderr, "artnet-bench-peer: %s\n", what.c_str());
  std::exit(2);
}

sockaddr_in ParseEndpoint(const std::string& text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) Die("not an address:port: " + text);
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
    Die("not an IPv4 address: " + text);
  }
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
  return address;
}

int OpenUdp(const std::string& netns_path, const std::string& bind_to, int receive_buffer) {
  // setns changes the calling thread's namespace only, and a socket stays in
  // the namespace it was made in: make it there, then come back.
  int home = -1;
  if (!netns_path.empty()) {
    home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(netns_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || target < 0) Die("cannot open network namespace " + netns_path);
    if (setns(target, CLONE_NEWNET) != 0) Die("setns " + netns_path + ": " + std::strerror(errno));
    close(target);
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die(std::string("socket: ") + std::strerror(errno));
  if (receive_buffer != 0) {
    // SO_RCVBUFFORCE passes rmem_max (root only); SO_RCVBUF is capped by it.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
  }
  if (!bind_to.empty()) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = ParseEndpoint(bind_to);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      Die("bind " + bind_to + ": " + std::strerror(errno));
    }
  }
  if (home >= 0) {
    if (setns(home, CLONE_NEWNET) != 0) Die(std::string("setns back: ") + std::strerror(errno));
    close(home);
  }
  return fd;
}

long ReadWithin(int fd, std::uint8_t* buffer, std::size_t capacity, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  const int ready = poll(&entry, 1, timeout_ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;
  if ((entry.revents & POLLIN) == 0) return -1;
  const ssize_t count = read(fd, buffer, capacity);
  if (count < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
  return count;
}

std::size_t Drain(int fd, int quiet_ms) {
  std::uint8_t buffer[65536];
  std::size_t total = 0;
  for (;;) {
    const long count = ReadWithin(fd, buffer, sizeof buffer, quiet_ms);
    if (count <= 0) return total;
    total += static_cast<std::size_t>(count);
  }
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = write(fd, data, size);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd entry{fd, POLLOUT, 0};
        poll(&entry, 1, 100);
        continue;
      }
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

double Options::Real(const std::string& name, double fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : std::atof(found->second.c_str());
}

std::vector<std::uint8_t> DeviceFrame(std::uint64_t sequence, std::size_t size) {
  PollReplyNode node;
  node.address[0] = 10;  // The node's address, 10.77.0.9 (any will do).
  node.address[1] = 77;
  node.address[3] = 9;
  node.short_name = "bench device";
  node.node_report = "#0001 [" + std::to_string(sequence % 10000) + "] frame " + std::to_string(sequence);
  std::vector<std::uint8_t> frame = BuildPollReplyFrame(node);
  // Printable filler holds no CR, so no CR LF inside the frame can end it.
  std::vector<std::uint8_t> filler;
  for (std::size_t i = frame.size(); i < size; ++i) {
    filler.push_back(static_cast<std::uint8_t>(' ' + (sequence + i) % 95));
  }
  frame.insert(frame.end() - 2, filler.begin(), filler.end());
  return frame;
}

JsonLine& JsonLine::Add(const std::string& key, double value) {
  std::ostringstream text;
  text.precision(15);
  text << value;
  body_ += (body_.empty() ? "" : ", ") + ("\"" + key + "\": ") + text.str();
  return *this;
}

JsonLine& JsonLine::Add(const std::string& key, const std::string& value) {
  body_ += (body_.empty() ? "" : ", ") + ("\"" + key + "\": \"") + value + "\"";
  return *this;
}

void JsonLine::Print() const {
  std::printf("{%s}\n", body_.c_str());
  std::fflush(stdout);
}
