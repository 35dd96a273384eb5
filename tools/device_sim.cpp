// artnet-device-sim: a simulated Art-Net device on a pty, for trying and
// testing the bridge without hardware.
//
// It holds the master side of a pty and prints the slave's path on the first
// line of standard output; the bridge finds the slave as its device port (bind
// it over /dev/ttyUSB0, or give --link). Each chunk the simulator reads is
// logged as "rx <hex>" and each write it makes as "tx <hex>", one line per
// write. It answers every ArtPoll with an ArtPollReply followed by CR LF, as
// a device behind the bridge does, and sends the frames it is given: those of
// --send-hex once the bridge's first bytes have arrived, and each line of hex
// read from standard input as it comes. It runs until a "quit" line, SIGINT or
// SIGTERM; the end of standard input does not stop it.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/artnet_packets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Options {
  in_addr address{htonl(0x02000001)};  // 2.0.0.1: Art-Net's primary network.
  std::string short_name = "Serial Sim";
  std::string long_name = "artnet-device-sim: a simulated Art-Net device on a pty";
  std::vector<Bytes> send_on_first_bytes;
  std::string log_path;
  std::string link_path;
};

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

void Usage() {
  fprintf(stderr,
          "usage: artnet-device-sim [--address A.B.C.D] [--short-name TEXT] [--long-name TEXT]\n"
          "                         [--send-hex HEX]... [--log FILE] [--link PATH]\n"
          "A simulated Art-Net device on a pty: prints the pty's path, logs what it\n"
          "receives, answers ArtPoll, and sends each line of hex given on standard input.\n"
          "\"quit\" on standard input, SIGINT or SIGTERM stop it.\n");
}

// The reply to every ArtPoll, as the device sends it.
Bytes PollReplyFrame(const Options& options) {
  PollReplyNode node;
  memcpy(node.address, &options.address, 4);  // Network order: as written.
  node.short_name = options.short_name;
  node.long_name = options.long_name;
  node.node_report = "#0001 [0000] Simulated device ready";  // RcPowerOk
  return BuildPollReplyFrame(node);
}

// Finds the ArtPolls in the bridge's byte stream, whose write boundaries the
// pty does not keep: two packets may come in one read, one across two.
class PollDetector {
 public:
  // Adds received bytes; returns how many ArtPolls they completed.
  int Add(const std::uint8_t* data, std::size_t size) {
    pending_.insert(pending_.end(), data, data + size);
    int polls = 0;
    std::size_t start = 0;
    for (;;) {
      std::size_t at = Find(start);
      if (at == pending_.size()) {
        // Keep a tail that may be the start of an ID.
        start = pending_.size() > 9 ? pending_.size() - 9 : 0;
        break;
      }
      if (at + 10 > pending_.size()) {
        start = at;
        break;
      }
      const unsigned op = pending_[at + 8] | pending_[at + 9] << 8;
      if (op == kOpPoll) ++polls;
      start = at + 8;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
    return polls;
  }

 private:
  std::size_t Find(std::size_t from) const {
    for (std::size_t i = from; i + sizeof kArtNetId <= pending_.size(); ++i) {
      if (memcmp(pending_.data() + i, kArtNetId, sizeof kArtNetId) == 0) return i;
    }
    return pending_.size();
  }

  Bytes pending_;
};

class Simulator {
 public:
  explicit Simulator(const Options& options) : options_(options), reply_(PollReplyFrame(options)) {}

  bool Open();
  int Run();

 private:
  void Log(const char* direction, const std::uint8_t* data, std::size_t size);
  void Send(const Bytes& bytes);
  void OnMasterReadable();
  void OnStdinReadable();
  void OnSlaveClosed();

  Options options_;
  Bytes reply_;
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  FILE* log_ = stdout;
  std::string slave_path_;
  PollDetector polls_;
  bool first_bytes_seen_ = false;
  bool stdin_open_ = true;
  std::string stdin_line_;
};

bool Simulator::Open() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    perror("artnet-device-sim: posix_openpt");
    return false;
  }
  slave_path_ = ptsname(master_);
  // The simulator keeps the slave open too. Without it, the master reads EIO
  // and polls as hung up whenever the bridge is not running.
  slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    perror("artnet-device-sim: opening the pty");
    return false;
  }
  // Termios requests on the master act on the slave. Raw until the bridge
  // sets its own: nothing may be translated or echoed back.
  termios settings;
  if (tcgetattr(master_, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(master_, TCSANOW, &settings);
  }
  // The bridge marks its port exclusive (TIOCEXCL). On a pty that mark
  // outlives the bridge as long as the master is open, and would keep a
  // restarted bridge out; so whenever someone closes the slave, the
  // simulator clears it (see OnSlaveClosed).
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && inotify_add_watch(watch_, slave_path_.c_str(), IN_CLOSE) < 0) {
    close(watch_);
    watch_ = -1;
  }
  if (!options_.log_path.empty()) {
    log_ = fopen(options_.log_path.c_str(), "a");
    if (log_ == nullptr) {
      perror("artnet-device-sim: opening the log");
      return false;
    }
  }
  if (!options_.link_path.empty()) {
    // Replace a link left by an earlier run, but never another file.
    struct stat old;
    if (lstat(options_.link_path.c_str(), &old) == 0 && S_ISLNK(old.st_mode)) {
      unlink(options_.link_path.c_str());
    }
    if (symlink(slave_path_.c_str(), options_.link_path.c_str()) != 0) {
      perror("artnet-device-sim: making the link");
      return false;
    }
  }
  printf("%s\n", slave_path_.c_str());
  fflush(stdout);
  fprintf(stderr, "artnet-device-sim: simulated Art-Net device on %s\n", slave_path_.c_str());
  return true;
}

void Simulator::Log(const char* direction, const std::uint8_t* data, std::size_t size) {
  // One line per write, flushed at once, so a reader of the log never sees
  // half a line.
  const std::string line = std::string(direction) + " " + Hex(data, size) + "\n";
  fwrite(line.data(), 1, line.size(), log_);
  fflush(log_);
}

void Simulator::Send(const Bytes& bytes) {
  // One write per frame; the pty takes up to a few kilobytes at once, far
  // more than a frame.
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      perror("artnet-device-sim: writing to the pty");
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
  Log("tx", bytes.data(), bytes.size());
}

void Simulator::OnMasterReadable() {
  std::uint8_t buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) return;
  Log("rx", buffer, static_cast<std::size_t>(n));
  for (int polls = polls_.Add(buffer, static_cast<std::size_t>(n)); polls > 0; --polls) {
    Send(reply_);
  }
  if (!first_bytes_seen_) {
    // The bridge clears the port's queues when it takes the port, before its
    // probe: frames sent earlier would be lost.
    first_bytes_seen_ = true;
    for (const Bytes& frame : options_.send_on_first_bytes) Send(frame);
  }
}

void Simulator::OnStdinReadable() {
  char buffer[4096];
  const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    stdin_open_ = false;
    return;
  }
  stdin_line_.append(buffer, static_cast<std::size_t>(n));
  std::size_t end;
  while ((end = stdin_line_.find('\n')) != std::string::npos) {
    const std::string line = stdin_line_.substr(0, end);
    stdin_line_.erase(0, end + 1);
    if (line == "quit") {
      g_stop = 1;
      return;
    }
    const std::optional<Bytes> frame = ParseHex(line);
    if (!frame) {
      fprintf(stderr, "artnet-device-sim: not hex, ignored: %s\n", line.c_str());
    } else if (!frame->empty()) {
      Send(*frame);
    }
  }
}

void Simulator::OnSlaveClosed() {
  char events[4096];
  while (read(watch_, events, sizeof events) > 0) {
  }
  // Whoever holds the port exclusively also holds its lock: a free lock means
  // the bridge has gone.
  if (flock(slave_, LOCK_EX | LOCK_NB) == 0) {
    ioctl(slave_, TIOCNXCL);
    flock(slave_, LOCK_UN);
  }
}

int Simulator::Run() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t during_wait;
  sigprocmask(SIG_BLOCK, &stop_signals, &during_wait);
  sigdelset(&during_wait, SIGINT);
  sigdelset(&during_wait, SIGTERM);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  while (!g_stop) {
    pollfd fds[3] = {{master_, POLLIN, 0}, {stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0}, {watch_, POLLIN, 0}};
    // The stop signals get through only while waiting, so none is missed.
    const int ready = ppoll(fds, 3, nullptr, &during_wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("artnet-device-sim: ppoll");
      return 1;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0) {
      // Cannot happen while the simulator holds the slave; never spin on it.
      usleep(100000);
    }
    if ((fds[0].revents & POLLIN) != 0) OnMasterReadable();
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) OnStdinReadable();
    if ((fds[2].revents & POLLIN) != 0) OnSlaveClosed();
  }
  if (!options_.link_path.empty()) unlink(options_.link_path.c_str());
  fprintf(stderr, "artnet-device-sim: stopped\n");
  return 0;
}

bool ParseOptions(int argc, char** argv, Options* options, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      *help = true;
      return false;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "artnet-device-sim: %s needs a value\n", option.c_str());
      return false;
    }
    const std::string value = argv[++i];
    if (option == "--address") {
      if (inet_pton(AF_INET, value.c_str(), &options->address) != 1) {
        fprintf(stderr, "artnet-device-sim: not an IPv4 address: %s\n", value.c_str());
        return false;
      }
    } else if (option == "--short-name") {
      options->short_name = value;
    } else if (option == "--long-name") {
      options->long_name = value;
    } else if (option == "--send-hex") {
      const std::optional<Bytes> frame = ParseHex(value);
      if (!frame) {
        fprintf(stderr, "artnet-device-sim: not hex: %s\n", value.c_str());
        return false;
      }
      options->send_on_first_bytes.push_back(*frame);
    } else if (option == "--log") {
      options->log_path = value;
    } else if (option == "--link") {
      options->link_path = value;
    } else {
      fprintf(stderr, "artnet-device-sim: unknown option %s\n", option.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) {
    Usage();
    return help ? 0 : 2;
  }
  // A reader of the log that goes away must not kill the device.
  signal(SIGPIPE, SIG_IGN);
  Simulator simulator(options);
  if (!simulator.Open()) return 1;
  return simulator.Run();
}
