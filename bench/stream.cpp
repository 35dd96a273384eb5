// A controller's paced streams towards the device, and the device's bytes
// read back. Every packet is a TracedPacket (tools/artnet_packets.h): what
// the device read off its wire tells, on its own, each packet's source,
// universe, number and send time.
//
// stream: ArtDmx of --universes universes (from 0), each at --rate frames a
// second, from each source, evenly spaced, for --seconds.
//   --send-ns, --to      where the controller sends from and to
//   --from A,B           its source addresses, a socket bound to each (source
//                        0, 1, ...); without it one socket, source 0
//   --control 1          an ArtPoll, an ArtAddress and an ArtTodRequest once
//                        a second each, from source 0, in between
//   --static LIST        universes (such as 3-11) whose data never changes:
//                        their packets carry neither a number nor a send time
//                        in their data (both read as 0), only a count in
//                        Art-Net's Sequence byte, 1 to 255
//   --noise-rate         unrelated UDP packets a second, sent with sendmmsg
//   from --noise-ns to --noise-to (--noise-size bytes each) meanwhile;
//   --noise-sink (in --noise-sink-ns) binds a socket there that never reads,
//   so that they end there quietly instead of drawing ICMP errors.
//
// parse --stream FILE: the bytes a device read, as lines on stdout:
//   "P END OPCODE SOURCE UNIVERSE SEQUENCE SENT_NS" for each whole traced
//   packet, END the offset just past its last byte, and "S START LENGTH"
//   for each run of bytes that belong to no such packet.
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
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
  for (std::int64_t tick = 1; !stop.load(std::memory_order_relaxed); ++tick) {
    // How many packets should have gone by the end of this tick, all told.
    const long long due = rate * tick / 1000;
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

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// The control packets, each once a second, a third of a second apart.
constexpr std::uint16_t kControls[] = {kOpPoll, kOpAddress, kOpTodRequest};

}  // namespace

int RunStream(const Options& options) {
  const long long universes = options.Number("universes", 1);
  const double rate = options.Real("rate", 44);
  const double seconds = options.Real("seconds", 10);
  const bool control = options.Number("control", 0) != 0;
  std::vector<bool> fixed(static_cast<std::size_t>(universes), false);
  if (options.Has("static")) {
    const std::optional<std::vector<std::uint16_t>> listed = ParsePortAddresses(options.Text("static"));
    if (!listed) Die("--static takes universes such as 3-11: " + options.Text("static"));
    for (const std::uint16_t universe : *listed) {
      if (universe < universes) fixed[universe] = true;
    }
  }
  const sockaddr_in to = ParseEndpoint(options.Text("to"));
  std::vector<int> sources;
  for (const std::string& address : SplitCommas(options.Text("from"))) {
    sources.push_back(OpenUdp(options.Text("send-ns"), address + ":0"));
  }
  if (sources.empty()) sources.push_back(OpenUdp(options.Text("send-ns"), ""));

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

  std::atomic<bool> stop_noise{false};
  NoiseCount noise;
  std::thread noise_thread;
  if (noise_fd >= 0) {
    noise_thread = std::thread(SendNoise, noise_fd, noise_to, noise_rate,
                               static_cast<std::size_t>(options.Number("noise-size", 64)),
                               std::cref(stop_noise), std::ref(noise));
    SleepUntilNs(NowNs() + 300000000);  // Let the noise reach its pace first.
  }

  // DMX packet k is due at start + k * spacing: source k % S, universe
  // (k / S) % U, that source's number k / S. Control packet j (kind j % 3)
  // at start + 1/6 s + j/3 s.
  const std::size_t source_count = sources.size();
  const double spacing = 1e9 / (rate * static_cast<double>(universes * static_cast<long long>(source_count)));
  const long long dmx_count = static_cast<long long>(seconds * 1e9 / spacing);
  const long long control_count = control ? static_cast<long long>(seconds * 3) : 0;
  std::vector<long long> dmx_sent(source_count, 0);
  long long controls_sent = 0;
  long long send_errors = 0;
  std::uint8_t packet[kMaxTracedPacketSize];
  const std::int64_t start = NowNs() + 1000000;
  long long k = 0;
  long long j = 0;
  while (k < dmx_count || j < control_count) {
    const std::int64_t dmx_due = start + static_cast<std::int64_t>(static_cast<double>(k) * spacing);
    const std::int64_t control_due = start + 1000000000LL / 6 + j * 1000000000LL / 3;
    const bool is_dmx = j >= control_count || (k < dmx_count && dmx_due <= control_due);
    const std::int64_t due = is_dmx ? dmx_due : control_due;
    if (NowNs() < due) SleepUntilNs(due);
    TracedPacket traced;
    std::size_t source = 0;
    bool unchanged = false;
    if (is_dmx) {
      source = static_cast<std::size_t>(k) % source_count;
      traced.universe = static_cast<std::uint16_t>((k / static_cast<long long>(source_count)) % universes);
      traced.sequence = static_cast<std::uint32_t>(k / static_cast<long long>(source_count));
      unchanged = fixed[traced.universe];
      if (unchanged) {
        traced.art_sequence = static_cast<std::uint8_t>(traced.sequence % 255 + 1);
        traced.sequence = 0;
      }
      ++k;
    } else {
      traced.opcode = kControls[j % 3];
      traced.sequence = static_cast<std::uint32_t>(j / 3);
      ++j;
    }
    traced.source = static_cast<std::uint8_t>(source);
    traced.sent_ns = is_dmx && !unchanged ? NowNs() : 0;
    const std::size_t size = BuildTracedPacket(traced, packet);
    if (sendto(sources[source], packet, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(size)) {
      (is_dmx ? dmx_sent[source] : controls_sent) += 1;
    } else {
      ++send_errors;
    }
  }
  const std::int64_t end = NowNs();
  stop_noise.store(true);
  if (noise_thread.joinable()) noise_thread.join();

  JsonLine line;
  for (std::size_t s = 0; s < source_count; ++s) {
    line.Add("dmx_sent_" + std::to_string(s), static_cast<double>(dmx_sent[s]));
  }
  line.Add("sources", static_cast<double>(source_count))
      .Add("controls_sent", static_cast<double>(controls_sent))
      .Add("send_errors", static_cast<double>(send_errors))
      .Add("start_ns", static_cast<double>(start))
      .Add("end_ns", static_cast<double>(end));
  if (noise_fd >= 0) {
    const double noise_seconds = static_cast<double>(noise.stopped - noise.started) / 1e9;
    line.Add("noise_sent", static_cast<double>(noise.sent.load()))
        .Add("noise_rate", noise_seconds > 0 ? static_cast<double>(noise.sent.load()) / noise_seconds : 0);
  }
  line.Print();
  if (noise_sink >= 0) close(noise_sink);
  return 0;
}

int RunParse(const Options& options) {
  std::ifstream file(options.Text("stream"), std::ios::binary);
  if (!file) Die("cannot read " + options.Text("stream"));
  const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t size = data.size();
  auto id_at = [&](std::size_t at) {
    return size - at >= sizeof kArtNetId && std::memcmp(&data[at], kArtNetId, sizeof kArtNetId) == 0;
  };
  std::size_t at = 0;
  while (at < size) {
    // A packet starts with the ID; its OpCode says how long it must be.
    if (id_at(at) && size - at >= 10) {
      const std::size_t length = TracedPacketSize(static_cast<std::uint16_t>(data[at + 8] | data[at + 9] << 8));
      TracedPacket packet;
      if (length != 0 && length <= size - at && ParseTracedPacket(&data[at], length, &packet)) {
        at += length;
        std::printf("P %zu %u %u %u %u %lld\n", at, packet.opcode, packet.source, packet.universe,
                    packet.sequence, static_cast<long long>(packet.sent_ns));
        continue;
      }
    }
    std::size_t next = at + 1;
    while (next < size && !id_at(next)) ++next;
    std::printf("S %zu %zu\n", at, next - at);
    at = next;
  }
  return 0;
}
