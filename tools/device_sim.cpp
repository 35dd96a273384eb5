// artnet-device-sim: a simulated Art-Net device on a pty, for trying and
// testing the bridge without hardware.
//
// It holds the master side of a pty and prints the slave's path on the first
// line of standard output; the bridge finds the slave as its device port (bind
// it over /dev/ttyUSB0, or give --link). Each chunk the simulator reads is
// logged as "rx <hex>" and each write it makes as "tx <hex>", one line per
// write. It answers every ArtPoll with an ArtPollReply followed by CR LF (one
// for each page of the ports that --outputs and --inputs give it, up to
// --ports-per-reply a page), as a device behind the bridge does, and sends the
// frames it is given: those of --send-hex once the bridge's first bytes have
// arrived, and each line of hex read from standard input as it comes. It runs
// until a "quit" line, SIGINT or SIGTERM; the end of standard input does not
// stop it.
//
// With --baud the pty behaves as the serial link would (tools/sim_wire.h has
// the model): the bridge's bytes wait in an adapter's buffer and cross the
// wire at the line rate, and only then does the device see them; when the
// buffer is full the bridge's writes block. What the device sends crosses
// the wire the same way and reaches the pty in a USB adapter's chunks. Then
// "rx" is one line per run of bytes that crossed back to back (a long run is
// cut every few milliseconds) and "tx" one line per frame, once its last
// byte is in the pty. --timestamps puts CLOCK_MONOTONIC nanoseconds before
// each line: for "rx" when the stop bit of its last byte ended, for "tx" when
// that write was made.
//
// Standard input also takes "outputs LIST" (its outputs change, and it sends
// its replies at once, as a node does when its settings change), "stall MS"
// (with --baud: the device takes no bytes off the wire for MS milliseconds),
// "hangup" (the pty goes away as an unplugged adapter does, and the
// simulator ends), and "stats" (one line: bytes received, bytes sent, and
// for how long the wire to the device was busy).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/artnet_packets.h"
#include "tools/device_sim_options.h"
#include "tools/sim_wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr Nanoseconds kMs = 1000000;
// While bytes cross, the device looks at them at least this often: an
// ArtPoll is answered well before the first chunk of the reply is due.
constexpr Nanoseconds kDeliveryTick = kMs;
// A run of bytes is logged when it ends, or in lines of at most this much
// wire time, so that a reader of the log never waits long.
constexpr Nanoseconds kLineSpan = 10 * kMs;
// How much of an ArtPoll must have crossed before the device answers: the
// ID and the OpCode at once without a wire, the whole of the shortest
// ArtPoll on one.
constexpr std::size_t kPollSeenAt = 10;
constexpr std::size_t kShortestArtPoll = 14;

Nanoseconds Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanoseconds>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

// The replies to every ArtPoll, as the device sends them: one for each page
// of its ports, and at least `pages` (a node keeps its pages when the
// universes it describes on them change).
std::vector<Bytes> PollReplyFrames(const Options& options, std::size_t pages = 1) {
  PollReplyNode node;
  memcpy(node.address, options.address, 4);
  node.short_name = options.short_name;
  node.long_name = options.long_name;
  node.node_report = "#0001 [0000] Simulated device ready";  // RcPowerOk
  std::vector<Bytes> frames;
  for (const PollReplyNode& page : PollReplyPages(node, options.outputs, options.inputs, options.ports_per_reply,
                                                  pages)) {
    frames.push_back(BuildPollReplyFrame(page));
  }
  return frames;
}

// Finds the ArtPolls in the bridge's byte stream, whose write boundaries the
// pty does not keep: two packets may come in one read, one across two.
class PollDetector {
 public:
  // An ArtPoll counts once `seen_at` of its bytes have come.
  explicit PollDetector(std::size_t seen_at) : seen_at_(seen_at) {}

  // Adds received bytes; appends to `polls` the index, among them, of the
  // byte that completed each ArtPoll.
  void Add(const std::uint8_t* data, std::size_t size, std::vector<std::size_t>* polls) {
    // An ArtPoll found now completes in these bytes: had it completed in
    // earlier ones, the earlier call would have found it.
    const std::size_t base = pending_.size();
    pending_.insert(pending_.end(), data, data + size);
    std::size_t start = 0;
    for (;;) {
      std::size_t at = Find(start);
      if (at == pending_.size()) {
        // Keep a tail that may be the start of an ID.
        start = pending_.size() > 9 ? pending_.size() - 9 : 0;
        break;
      }
      if (at + seen_at_ > pending_.size()) {
        start = at;
        break;
      }
      const unsigned op = pending_[at + 8] | pending_[at + 9] << 8;
      if (op == kOpPoll) polls->push_back(at + seen_at_ - 1 - base);
      start = at + 8;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
  }

 private:
  std::size_t Find(std::size_t from) const {
    for (std::size_t i = from; i + sizeof kArtNetId <= pending_.size(); ++i) {
      if (memcmp(pending_.data() + i, kArtNetId, sizeof kArtNetId) == 0) return i;
    }
    return pending_.size();
  }

  const std::size_t seen_at_;
  Bytes pending_;
};

class Simulator {
 public:
  explicit Simulator(const Options& options)
      : options_(options),
        replies_(PollReplyFrames(options)),
        polls_(options.baud != 0 ? kShortestArtPoll : kPollSeenAt) {
    if (options.baud != 0) {
      receive_.emplace(options.baud, options.buffer);
      send_.emplace(options.baud, options.chunk, options.latency_ms * kMs);
    }
  }

  bool Open();
  int Run();

 private:
  // The bytes of a run that are not yet logged.
  struct RxLine {
    Bytes bytes;
    std::uint64_t run = 0;
    Nanoseconds first_end = 0;
    Nanoseconds last_end = 0;
  };
  // A frame in the pty's way, logged once the write that ends it is made.
  struct Outgoing {
    std::uint64_t written_by;  // The byte count that ends it.
    Bytes frame;
  };

  void Log(Nanoseconds stamp, const char* direction, const std::uint8_t* data, std::size_t size);
  void Send(const Bytes& bytes);
  void OnMasterReadable();
  void OnStdinReadable();
  void OnSlaveClosed();
  void OnCommand(const std::string& line);
  void HangUp();

  // With a wire.
  void ReadIntoBuffer(Nanoseconds now);
  void Advance(Nanoseconds now);
  void OffWire(const WirePiece& piece);
  void LogRxLine();
  void WriteToPty();
  Nanoseconds NextWake(Nanoseconds now) const;

  Options options_;
  std::vector<Bytes> replies_;
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  FILE* log_ = stdout;
  std::string slave_path_;
  PollDetector polls_;
  bool first_bytes_seen_ = false;
  bool stdin_open_ = true;
  bool hung_up_ = false;
  std::string stdin_line_;
  bool skipping_line_ = false;
  std::uint64_t received_ = 0;  // Without a wire; the wire counts its own.
  std::uint64_t sent_ = 0;

  std::optional<ReceiveWire> receive_;
  std::optional<SendWire> send_;
  std::optional<RxLine> rx_line_;
  bool host_held_ = false;
  std::deque<Bytes> to_pty_;      // Chunks handed over, not yet in the pty.
  std::uint64_t pty_queued_ = 0;  // Bytes ever put into to_pty_...
  std::uint64_t pty_written_ = 0; // ...and written from it.
  std::deque<Outgoing> outgoing_;
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
  if (receive_) {
    // On a wire the device's chunks wait for a bridge that does not read,
    // rather than stopping the simulator in a write.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
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

void Simulator::Log(Nanoseconds stamp, const char* direction, const std::uint8_t* data, std::size_t size) {
  // One line per write, flushed at once, so a reader of the log never sees
  // half a line.
  std::string line;
  if (options_.timestamps) line = std::to_string(stamp) + " ";
  line += std::string(direction) + " " + Hex(data, size) + "\n";
  fwrite(line.data(), 1, line.size(), log_);
  fflush(log_);
}

void Simulator::Send(const Bytes& bytes) {
  if (send_) {
    send_->Queue(bytes, Now());
    return;
  }
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
  sent_ += sent;
  Log(Now(), "tx", bytes.data(), bytes.size());
}

void Simulator::OnMasterReadable() {
  std::uint8_t buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) return;
  received_ += static_cast<std::size_t>(n);
  Log(Now(), "rx", buffer, static_cast<std::size_t>(n));
  std::vector<std::size_t> polls;
  polls_.Add(buffer, static_cast<std::size_t>(n), &polls);
  for (std::size_t i = 0; i < polls.size(); ++i) {
    for (const Bytes& reply : replies_) Send(reply);
  }
  if (!first_bytes_seen_) {
    // The bridge clears the port's queues when it takes the port, before its
    // probe: frames sent earlier would be lost.
    first_bytes_seen_ = true;
    for (const Bytes& frame : options_.send_on_first_bytes) Send(frame);
  }
}

void Simulator::ReadIntoBuffer(Nanoseconds now) {
  // Only what the adapter's buffer has room for: the rest stays in the pty,
  // behind a host that is held once the buffer is full.
  std::uint8_t buffer[4096];
  const std::size_t room = std::min(receive_->Room(), sizeof buffer);
  if (room == 0) return;
  const ssize_t n = read(master_, buffer, room);
  if (n <= 0) return;
  receive_->Take(buffer, static_cast<std::size_t>(n), now);
}

void Simulator::OffWire(const WirePiece& piece) {
  if (rx_line_ && rx_line_->run != piece.run) LogRxLine();
  if (!rx_line_) rx_line_ = RxLine{{}, piece.run, piece.End(0), 0};
  rx_line_->bytes.insert(rx_line_->bytes.end(), piece.bytes.begin(), piece.bytes.end());
  rx_line_->last_end = piece.End(piece.bytes.size() - 1);

  // The device answers when the bytes have crossed: its reply goes on the
  // wire from the moment the ArtPoll's last byte came off it.
  std::vector<std::size_t> polls;
  polls_.Add(piece.bytes.data(), piece.bytes.size(), &polls);
  for (const std::size_t at : polls) {
    for (const Bytes& reply : replies_) send_->Queue(reply, piece.End(at));
  }
  if (!first_bytes_seen_) {
    first_bytes_seen_ = true;
    for (const Bytes& frame : options_.send_on_first_bytes) send_->Queue(frame, piece.End(0));
  }
  if (piece.ends_run) LogRxLine();
}

void Simulator::LogRxLine() {
  if (!rx_line_) return;
  Log(rx_line_->last_end, "rx", rx_line_->bytes.data(), rx_line_->bytes.size());
  rx_line_.reset();
}

void Simulator::Advance(Nanoseconds now) {
  std::vector<WirePiece> pieces;
  receive_->Advance(now, &pieces);
  for (const WirePiece& piece : pieces) OffWire(piece);
  // A long run goes on in the next line.
  if (rx_line_ && now - rx_line_->first_end >= kLineSpan) LogRxLine();

  std::vector<SendWire::Chunk> chunks;
  send_->Advance(now, &chunks);
  for (SendWire::Chunk& chunk : chunks) {
    pty_queued_ += chunk.bytes.size();
    to_pty_.push_back(std::move(chunk.bytes));
    // A frame's last byte is in this chunk: it is in the pty once the chunk is.
    for (Bytes& frame : chunk.finished) outgoing_.push_back(Outgoing{pty_queued_, std::move(frame)});
  }
  WriteToPty();

  // Hold the host while the adapter's buffer is full. Stopping the slave's
  // output makes the host's writes fail with EAGAIN (or block) and its poll
  // withhold POLLOUT, as a driver with no room does.
  if (receive_->HoldHost() != host_held_) {
    host_held_ = receive_->HoldHost();
    if (tcflow(slave_, host_held_ ? TCOOFF : TCOON) != 0) perror("artnet-device-sim: tcflow");
  }
}

void Simulator::WriteToPty() {
  // Each chunk as one write, as the adapter's driver passes each USB packet
  // on; what a bridge that does not read leaves over waits for room.
  while (!to_pty_.empty()) {
    Bytes& chunk = to_pty_.front();
    const ssize_t n = write(master_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno != EAGAIN) perror("artnet-device-sim: writing to the pty");
      break;
    }
    chunk.erase(chunk.begin(), chunk.begin() + n);
    if (chunk.empty()) to_pty_.pop_front();
    pty_written_ += static_cast<std::uint64_t>(n);
    sent_ += static_cast<std::uint64_t>(n);
  }
  const Nanoseconds now = Now();
  while (!outgoing_.empty() && outgoing_.front().written_by <= pty_written_) {
    Log(now, "tx", outgoing_.front().frame.data(), outgoing_.front().frame.size());
    outgoing_.pop_front();
  }
}

Nanoseconds Simulator::NextWake(Nanoseconds now) const {
  Nanoseconds next = std::min(receive_->NextChange(), send_->NextChange());
  if (receive_->Busy()) next = std::min(next, now + kDeliveryTick);
  if (rx_line_) next = std::min(next, rx_line_->first_end + kLineSpan);
  return next;
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
  while (!g_stop && !hung_up_ && (end = stdin_line_.find('\n')) != std::string::npos) {
    const std::string line = stdin_line_.substr(0, end);
    stdin_line_.erase(0, end + 1);
    // The rest of a line too long to keep is not a command.
    if (!std::exchange(skipping_line_, false)) OnCommand(line);
  }
  // No frame's hex comes near this: input that never ends its line is not
  // kept growing without bound.
  constexpr std::size_t kLongestLine = 1 << 20;
  if (stdin_line_.size() > kLongestLine) {
    fprintf(stderr, "artnet-device-sim: a line of over %zu bytes, ignored\n", kLongestLine);
    stdin_line_.clear();
    skipping_line_ = true;
  }
}

void Simulator::OnCommand(const std::string& line) {
  if (line == "quit") {
    g_stop = 1;
    return;
  }
  if (line == "hangup") {
    HangUp();
    return;
  }
  if (line.compare(0, 8, "outputs ") == 0) {
    Options changed = options_;
    std::string value = line.substr(8);
    const std::optional<std::vector<std::uint16_t>> outputs =
        value == "none" ? std::vector<std::uint16_t>{} : ParsePortAddresses(value);
    if (!outputs) {
      fprintf(stderr, "artnet-device-sim: not \"none\" or Port-Addresses such as 0-3,8, ignored: %s\n",
              value.c_str());
      return;
    }
    changed.outputs = *outputs;
    std::vector<Bytes> replies = PollReplyFrames(changed, replies_.size());
    if (replies.size() > 255) {
      fprintf(stderr, "artnet-device-sim: more ports than 255 replies describe, ignored: %s\n", value.c_str());
      return;
    }
    options_ = changed;
    replies_ = std::move(replies);
    // A node tells of its new universes at once, unasked, as the bridge's
    // probe asks it to (Flags bit 1): every page, the ones left without a
    // port included, so that nothing old is kept of them.
    if (receive_) Advance(Now());
    for (const Bytes& reply : replies_) Send(reply);
    return;
  }
  if (line == "stats") {
    if (receive_) Advance(Now());  // Counts up to this moment.
    const std::uint64_t received = receive_ ? receive_->received() : received_;
    const Nanoseconds busy = receive_ ? receive_->busy_time() : 0;
    std::string text = options_.timestamps ? std::to_string(Now()) + " " : "";
    text += "stats received " + std::to_string(received) + " sent " + std::to_string(sent_) +
            " wire-busy-ns " + std::to_string(busy) + "\n";
    fwrite(text.data(), 1, text.size(), log_);
    fflush(log_);
    return;
  }
  if (line.compare(0, 6, "stall ") == 0) {
    char* end = nullptr;
    const long ms = strtol(line.c_str() + 6, &end, 10);
    if (!receive_) {
      fprintf(stderr, "artnet-device-sim: stall needs --baud, ignored\n");
    } else if (end == line.c_str() + 6 || *end != '\0' || ms <= 0) {
      fprintf(stderr, "artnet-device-sim: not a stall in milliseconds, ignored: %s\n", line.c_str());
    } else {
      const Nanoseconds now = Now();
      Advance(now);
      receive_->Stall(now, ms * kMs);
      LogRxLine();  // The run has ended.
    }
    return;
  }
  const std::optional<Bytes> frame = ParseHex(line);
  if (!frame) {
    fprintf(stderr, "artnet-device-sim: not hex, ignored: %s\n", line.c_str());
  } else if (!frame->empty()) {
    Send(*frame);
  }
}

void Simulator::HangUp() {
  // What crossed is logged; what had not is lost with the adapter.
  if (receive_) {
    Advance(Now());
    LogRxLine();
  }
  // With both ends of the pty closed, the bridge's descriptor reads EIO and
  // polls as hung up, as an unplugged USB adapter's does.
  close(master_);
  close(slave_);
  master_ = slave_ = -1;
  hung_up_ = true;
  fprintf(stderr, "artnet-device-sim: hung up\n");
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

  while (!g_stop && !hung_up_) {
    short master_events = POLLIN;
    timespec wait{};
    const timespec* timeout = nullptr;
    if (receive_) {
      const Nanoseconds now = Now();
      Advance(now);
      // A full buffer leaves the host's bytes in the pty: polling for them
      // then would return at once, again and again.
      master_events = receive_->Room() > 0 ? POLLIN : 0;
      if (!to_pty_.empty()) master_events |= POLLOUT;
      const Nanoseconds next = NextWake(now);
      if (next != kNever) {
        const Nanoseconds left = std::max<Nanoseconds>(next - Now(), 0);
        wait.tv_sec = static_cast<time_t>(left / 1000000000);
        wait.tv_nsec = static_cast<long>(left % 1000000000);
        timeout = &wait;
      }
    }
    pollfd fds[3] = {{master_, master_events, 0}, {stdin_open_ ? STDIN_FILENO : -1, POLLIN, 0}, {watch_, POLLIN, 0}};
    // The stop signals get through only while waiting, so none is missed.
    const int ready = ppoll(fds, 3, timeout, &during_wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("artnet-device-sim: ppoll");
      return 1;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0) {
      // Cannot happen while the simulator holds the slave; never spin on it.
      usleep(100000);
    }
    if ((fds[0].revents & POLLIN) != 0) {
      if (receive_) {
        const Nanoseconds now = Now();
        Advance(now);  // What left the wire before these bytes came.
        ReadIntoBuffer(now);
      } else {
        OnMasterReadable();
      }
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) OnStdinReadable();
    if (!hung_up_ && (fds[2].revents & POLLIN) != 0) OnSlaveClosed();
  }
  if (!options_.link_path.empty()) unlink(options_.link_path.c_str());
  fprintf(stderr, "artnet-device-sim: stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!ParseOptions(argc, argv, &options, &help)) {
    PrintUsage();
    return help ? 0 : 2;
  }
  // A reader of the log that goes away must not kill the device.
  signal(SIGPIPE, SIG_IGN);
  if (options.realtime) {
    // Never busy: the simulator sleeps in ppoll between the wire's events,
    // so the priority costs other programs nothing but a prompt device.
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
      perror("artnet-device-sim: --realtime, going on at the normal priority");
    }
  }
  Simulator simulator(options);
  if (!simulator.Open()) return 1;
  return simulator.Run();
}
