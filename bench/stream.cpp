// A paced stream of ArtDmx packets, checked at the device: throughput,
// memory after many packets, and CPU under unrelated traffic.
//
//   --device FD      the pty master, drained as fast as the bytes come
//   --send-ns, --to  where the controller sends from and to
//   --rate, --count  packets per second, and how many
//   --settle-ms      how long the device may stay silent after the last send
//                    before the packets still missing count as lost
//   --watch-pid      the forwarder whose CPU time and memory are read at the
//                    first and the last send (and once more at the end)
//   --noise-rate     unrelated UDP packets per second, sent with sendmmsg from
//   --noise-ns to --noise-to (--noise-size bytes each) for as long as the
//                    stream lasts; --noise-sink (in --noise-sink-ns) binds a
//                    socket there that never reads, so the packets end at it
//                    quietly instead of drawing ICMP errors
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "bench/peer.h"

namespace {

struct NoiseCount {
  std::atomic<long long> sent{0};
  std::int64_t started = 0;
  std::int64_t stopped = 0;
};

// Sends `rate` packets per second in batches every millisecond until `stop`.
void SendNoise(int fd, sockaddr_in to, long long rate, std::size_t size,
               const std::atomic<bool>& stop, NoiseCount& count) {
  constexpr int kBatch = 64;
  std::vector<std::uint8_t> payload(size, 0xA5);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    vectors[i] = {payload.data(), payload.size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &to;
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  constexpr std::int64_t kTick = 1000000;  // 1 ms.
  count.started = NowNs();
  long long due = 0;
  for (std::int64_t tick = 1; !stop.load(std::memory_order_relaxed); ++tick) {
    // How many packets should have gone by the end of this tick, all told.
    due = rate * tick / 1000;
    while (count.sent.load(std::memory_order_relaxed) < due) {
      const long long left = due - count.sent.load(std::memory_order_relaxed);
      const int batch = static_cast<int>(left < kBatch ? left : kBatch);
      const int sent = sendmmsg(fd, messages, static_cast<unsigned>(batch), 0);
      if (sent <= 0) break;  // ENOBUFS: the tick's rest is dropped, as on a wire.
      count.sent.fetch_add(sent, std::memory_order_relaxed);
    }
    const std::int64_t next = count.started + (tick + 1) * kTick;
    if (NowNs() < next) SleepUntilNs(next);
  }
  count.stopped = NowNs();
}

}  // namespace

int RunStream(const Options& options) {
  const int device = static_cast<int>(options.Number("device", -1));
  if (device < 0) Die("--device FD is needed");
  const long long rate = options.Number("rate", 1000);
  const long long count = options.Number("count", 1000);
  const int settle_ms = static_cast<int>(options.Number("settle-ms", 1000));
  const int watch_pid = static_cast<int>(options.Number("watch-pid", 0));
  const int send_fd = OpenUdp(options.Text("send-ns"), "");
  const sockaddr_in to = ParseEndpoint(options.Text("to"));

  const long long noise_rate = options.Number("noise-rate", 0);
  int noise_fd = -1;
  int noise_sink = -1;
  sockaddr_in noise_to{};
  if (noise_rate > 0) {
    noise_fd = OpenUdp(options.Text("noise-ns"), "");
    noise_to = ParseEndpoint(options.Text("noise-to"));
    if (options.Has("noise-sink")) {
      noise_sink = OpenUdp(options.Text("noise-sink-ns"), options.Text("noise-sink"), 4096);
    }
  }
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  Drain(device, 0);

  NumberedArtDmxCheck check;
  std::atomic<bool> sending_done{false};
  std::atomic<std::int64_t> last_byte_at{0};
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(1 << 18);
    std::int64_t quiet_since = NowNs();
    for (;;) {
      const long got = ReadWithin(device, buffer.data(), buffer.size(), 20);
      const std::int64_t now = NowNs();
      if (got > 0) {
        check.Feed(buffer.data(), static_cast<std::size_t>(got));
        last_byte_at.store(now);
        quiet_since = now;
        if (check.next_number() >= static_cast<std::uint64_t>(count)) break;
        continue;
      }
      if (got < 0) break;
      if (!sending_done.load()) {
        quiet_since = now;
      } else if (now - quiet_since > static_cast<std::int64_t>(settle_ms) * 1000000) {
        break;
      }
    }
  });

  std::atomic<bool> stop_noise{false};
  NoiseCount noise;
  std::thread noise_thread;
  if (noise_fd >= 0) {
    noise_thread = std::thread(SendNoise, noise_fd, noise_to, noise_rate,
                               static_cast<std::size_t>(options.Number("noise-size", 64)),
                               std::cref(stop_noise), std::ref(noise));
    SleepUntilNs(NowNs() + 300000000);  // Let the noise reach its pace first.
  }

  const ProcessUsage before = ReadProcessUsage(watch_pid);
  long long send_errors = 0;
  std::uint8_t packet[kNumberedArtDmxSize];
  const std::int64_t start = NowNs() + 1000000;
  for (long long i = 0; i < count; ++i) {
    const std::int64_t due = start + i * 1000000000LL / rate;
    if (NowNs() < due) SleepUntilNs(due);
    BuildNumberedArtDmx(static_cast<std::uint64_t>(i), packet);
    if (sendto(send_fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(sizeof packet)) {
      ++send_errors;
    }
  }
  const std::int64_t last_send = NowNs();
  const ProcessUsage during = ReadProcessUsage(watch_pid);
  sending_done.store(true);
  reader.join();
  stop_noise.store(true);
  if (noise_thread.joinable()) noise_thread.join();
  const ProcessUsage after = ReadProcessUsage(watch_pid);

  const double seconds = static_cast<double>(last_send - start) / 1e9;
  const std::int64_t tail = last_byte_at.load() - last_send;
  JsonLine line;
  line.Add("rate", static_cast<double>(rate))
      .Add("sent", static_cast<double>(count))
      .Add("send_rate", seconds > 0 ? static_cast<double>(count) / seconds : 0)
      .Add("send_errors", static_cast<double>(send_errors))
      .Add("received", static_cast<double>(check.packets()))
      .Add("lost", static_cast<double>(static_cast<std::uint64_t>(count) - check.packets()))
      .Add("gaps", static_cast<double>(check.lost()))
      .Add("stray_bytes", static_cast<double>(check.stray_bytes()))
      .Add("out_of_order", static_cast<double>(check.out_of_order()))
      .Add("tail_ms", static_cast<double>(tail > 0 ? tail : 0) / 1e6)
      .Add("wall_ns", static_cast<double>(last_send - start))
      .Add("cpu_ns", static_cast<double>(during.cpu_ns - before.cpu_ns))
      .Add("rss_before_kb", static_cast<double>(before.rss_kb))
      .Add("hwm_before_kb", static_cast<double>(before.hwm_kb))
      .Add("rss_after_kb", static_cast<double>(after.rss_kb))
      .Add("hwm_after_kb", static_cast<double>(after.hwm_kb));
  if (noise_fd >= 0) {
    const double noise_seconds = static_cast<double>(noise.stopped - noise.started) / 1e9;
    line.Add("noise_sent", static_cast<double>(noise.sent.load()))
        .Add("noise_rate", noise_seconds > 0 ? static_cast<double>(noise.sent.load()) / noise_seconds : 0);
  }
  line.Print();
  if (noise_sink >= 0) close(noise_sink);
  return 0;
}
