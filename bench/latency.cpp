// One hop at a time: the peer sends one message, waits until it has come out
// at the other end, and records the time between, then the next. Each hop
// is timed in this one process, on one clock.
//
//   --mode n2d      sendto of an ArtDmx (--send-ns, --to) until the device's
//                   read of its last byte (--device, the pty master)
//   --mode d2n      the device's write of an ArtPollReply frame ending in CR LF
//                   until the controller's socket (--recv-ns, --listen) has it
//   --mode udp      the floor of the network hop: one UDP datagram of --size
//                   bytes from --send-ns to --listen in --recv-ns, received
//                   by a thread waiting in poll as a forwarder's would
//   --mode pty-n2d  the floor of the serial hop: a write of 530 bytes to the
//                   pty slave (--slave) until a thread waiting on the master
//                   (--device) has read it
//   --mode pty-d2n  the same the other way, with the 241-byte frame
//
// Common: --count (recorded), --warmup (sent first, not recorded), --gap-us
// (pause between two), --timeout-ms (a message not through by then is lost),
// --out (the file the recorded times are added to, nanoseconds, one per
// line), --cpu (the processor of the sending thread) and --receiver-cpu (that
// of a floor hop's receiving thread); without them the scheduler places the
// threads.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/peer.h"

namespace {

struct HopResult {
  bool arrived = false;
  bool intact = false;
  int pieces = 0;  // Reads or datagrams that carried the message.
};

HopResult NetworkToDevice(int send_fd, const sockaddr_in& to, int device, std::uint64_t sequence,
                          int timeout_ms, std::int64_t* elapsed) {
  std::uint8_t packet[kNumberedArtDmxSize];
  BuildNumberedArtDmx(sequence, packet);
  std::uint8_t received[kNumberedArtDmxSize];
  HopResult result;
  const std::int64_t start = NowNs();
  sendto(send_fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  std::size_t got = 0;
  while (got < sizeof received) {
    const long count = ReadWithin(device, received + got, sizeof received - got, timeout_ms);
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
    ++result.pieces;
  }
  *elapsed = NowNs() - start;
  result.arrived = got == sizeof received;
  result.intact = result.arrived && std::memcmp(packet, received, sizeof packet) == 0;
  return result;
}

HopResult DeviceToNetwork(int device, int receive_fd, std::uint64_t sequence, int timeout_ms,
                          std::int64_t* elapsed) {
  const std::vector<std::uint8_t> frame = DeviceFrame(sequence);
  std::vector<std::uint8_t> received;
  std::uint8_t datagram[4096];
  HopResult result;
  const std::int64_t start = NowNs();
  WriteAll(device, frame.data(), frame.size());
  // A forwarder that reads the pty in pieces sends the frame in pieces: count
  // them, and take the time when the last byte is in.
  while (received.size() < frame.size()) {
    const long count = ReadWithin(receive_fd, datagram, sizeof datagram, timeout_ms);
    if (count <= 0) break;
    received.insert(received.end(), datagram, datagram + count);
    ++result.pieces;
  }
  *elapsed = NowNs() - start;
  result.arrived = received.size() >= frame.size();
  result.intact = received == frame;
  return result;
}

// The receiving end of a floor hop: a thread of its own, asleep in poll as
// a forwarder's or a device's reader would be, so that the floor includes
// its wake-up. It collects `size` bytes (a datagram, or a pty's pieces) and
// notes the time the last of them came in.
class Stamper {
 public:
  Stamper(int fd, int cpu) : fd_(fd), done_(eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this, cpu] {
      PinThisThread(cpu);
      Loop();
    });
  }
  ~Stamper() {
    stop_.store(true);
    thread_.join();
    close(done_);
  }

  // Call before the message is sent, while nothing is on its way.
  void Expect(std::size_t size) {
    got_.store(0);
    pieces_.store(0);
    expected_.store(size);
  }

  // Waits for the message; false when it did not come within `timeout_ms`.
  bool Await(int timeout_ms, HopResult* result, std::int64_t* arrived) {
    pollfd entry{done_, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) <= 0) return false;
    std::uint64_t count;
    if (read(done_, &count, sizeof count) != sizeof count) Die("eventfd read");
    *arrived = arrived_.load();
    result->pieces = pieces_.load();
    return true;
  }

  // What came in for the message (valid between Await and the next Expect).
  const std::uint8_t* bytes() const { return buffer_; }
  std::size_t size() const { return got_.load(); }

 private:
  void Loop() {
    std::uint8_t chunk[sizeof buffer_];
    while (!stop_.load()) {
      const long count = ReadWithin(fd_, chunk, sizeof chunk, 50);
      if (count <= 0) continue;
      const std::int64_t now = NowNs();
      const std::size_t before = got_.load();
      const std::size_t after = before + static_cast<std::size_t>(count);
      if (after <= sizeof buffer_) std::memcpy(buffer_ + before, chunk, static_cast<std::size_t>(count));
      got_.store(after);
      pieces_.fetch_add(1);
      const std::size_t expected = expected_.load();
      if (before < expected && after >= expected) {
        arrived_.store(now);
        const std::uint64_t one = 1;
        if (write(done_, &one, sizeof one) != sizeof one) Die("eventfd write");
      }
    }
  }

  int fd_;
  int done_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> expected_{0};
  std::atomic<std::size_t> got_{0};
  std::atomic<int> pieces_{0};
  std::atomic<std::int64_t> arrived_{0};
  std::uint8_t buffer_[4096];
  std::thread thread_;
};

// A floor hop: `message` sent by `send` (a sendto or a write), and timed
// until the stamper on the other end has all of it.
template <typename Send>
HopResult Floor(const std::vector<std::uint8_t>& message, Stamper& stamper, int timeout_ms,
                const Send& send, std::int64_t* elapsed) {
  HopResult result;
  stamper.Expect(message.size());
  const std::int64_t start = NowNs();
  send(message);
  std::int64_t arrived = 0;
  if (!stamper.Await(timeout_ms, &result, &arrived)) return result;
  *elapsed = arrived - start;
  result.arrived = true;
  result.intact = stamper.size() == message.size() &&
                  std::memcmp(stamper.bytes(), message.data(), message.size()) == 0;
  return result;
}

std::vector<std::uint8_t> FloorMessage(const std::string& mode, std::size_t size,
                                       std::uint64_t sequence) {
  std::vector<std::uint8_t> message;
  if (mode == "pty-d2n") {
    message = DeviceFrame(sequence);
  } else if (mode == "pty-n2d") {
    message.resize(kNumberedArtDmxSize);
    BuildNumberedArtDmx(sequence, message.data());
  } else {
    message.assign(size, 0x5A);
    std::memcpy(message.data(), &sequence, sizeof sequence);
  }
  return message;
}

}  // namespace

int RunLatency(const Options& options) {
  const std::string mode = options.Text("mode");
  const long long count = options.Number("count", 10000);
  const long long warmup = options.Number("warmup", 200);
  const long long gap_us = options.Number("gap-us", 200);
  const int timeout_ms = static_cast<int>(options.Number("timeout-ms", 1000));
  const int device = static_cast<int>(options.Number("device", -1));
  const int slave = static_cast<int>(options.Number("slave", -1));
  const std::size_t size = static_cast<std::size_t>(options.Number("size", kNumberedArtDmxSize));

  int send_fd = -1;
  int receive_fd = -1;
  sockaddr_in to{};
  if (mode == "n2d" || mode == "udp") {
    send_fd = OpenUdp(options.Text("send-ns"), "");
    to = ParseEndpoint(options.Text("to"));
  }
  if (mode == "d2n" || mode == "udp") {
    receive_fd = OpenUdp(options.Text("recv-ns"), options.Text("listen"), 1 << 20);
  }
  if ((mode == "n2d" || mode == "d2n" || mode == "pty-n2d" || mode == "pty-d2n") && device < 0) {
    Die("--device FD is needed");
  }
  if ((mode == "pty-n2d" || mode == "pty-d2n") && slave < 0) Die("--slave FD is needed");

  // The floor's receiving end: the UDP socket, the pty master (toward the
  // device) or the pty slave (toward the network).
  PinThisThread(static_cast<int>(options.Number("cpu", -1)));
  const int receiver_cpu = static_cast<int>(options.Number("receiver-cpu", -1));
  std::unique_ptr<Stamper> stamper;
  if (mode == "udp") stamper = std::make_unique<Stamper>(receive_fd, receiver_cpu);
  if (mode == "pty-n2d") stamper = std::make_unique<Stamper>(device, receiver_cpu);
  if (mode == "pty-d2n") stamper = std::make_unique<Stamper>(slave, receiver_cpu);

  // Sleeps of a few hundred microseconds should not be stretched by the
  // default 50 us timer slack.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);

  std::vector<std::int64_t> times;
  times.reserve(static_cast<std::size_t>(count));
  long long lost = 0;
  long long damaged = 0;
  long long split = 0;
  for (long long i = 0; i < warmup + count; ++i) {
    if (!stamper) {
      if (device >= 0) Drain(device, 0);
      if (receive_fd >= 0) Drain(receive_fd, 0);
    }
    const std::uint64_t sequence = static_cast<std::uint64_t>(i);
    std::int64_t elapsed = 0;
    HopResult result;
    if (mode == "n2d") {
      result = NetworkToDevice(send_fd, to, device, sequence, timeout_ms, &elapsed);
    } else if (mode == "d2n") {
      result = DeviceToNetwork(device, receive_fd, sequence, timeout_ms, &elapsed);
    } else if (stamper) {
      const std::vector<std::uint8_t> message = FloorMessage(mode, size, sequence);
      const int writer = mode == "pty-n2d" ? slave : device;
      result = Floor(message, *stamper, timeout_ms, [&](const std::vector<std::uint8_t>& bytes) {
        if (mode == "udp") {
          sendto(send_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        } else {
          WriteAll(writer, bytes.data(), bytes.size());
        }
      }, &elapsed);
    } else {
      Die("unknown --mode " + mode);
    }
    if (i < warmup) continue;
    if (!result.arrived) {
      ++lost;
    } else if (!result.intact) {
      ++damaged;
    } else {
      times.push_back(elapsed);
      if (result.pieces > 1 && (mode == "d2n" || mode == "udp")) ++split;
    }
    if (gap_us > 0) SleepUntilNs(NowNs() + gap_us * 1000);
  }

  const std::string out = options.Text("out");
  if (!out.empty()) {
    FILE* file = std::fopen(out.c_str(), "a");
    if (file == nullptr) Die("cannot write " + out);
    for (const std::int64_t t : times) std::fprintf(file, "%lld\n", static_cast<long long>(t));
    std::fclose(file);
  }
  JsonLine()
      .Add("mode", mode)
      .Add("sent", static_cast<double>(count))
      .Add("measured", static_cast<double>(times.size()))
      .Add("lost", static_cast<double>(lost))
      .Add("damaged", static_cast<double>(damaged))
      .Add("split", static_cast<double>(split))
      .Print();
  return 0;
}
