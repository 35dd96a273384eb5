// The flood: Art-Net packets as fast as the sender can push them, with random
// OpCodes and lengths from 0 to 2048 bytes, while the device answers with
// random frames, some ending in CR LF and some (up to 4096 bytes) not.
// Afterwards the bytes the device read are checked against the packets a
// forwarder must pass on: a UDP payload of 10 to 530 bytes whose OpCode high
// byte is neither 0x21 (OpPollReply) nor 0x52 (OpSync).
//
//   --device FD          the pty master
//   --send-ns, --to      where the flood goes from and to
//   --sink, --sink-ns    a socket bound at the flood's destination that never
//                        reads (no ICMP errors, no reader cost)
//   --recv-ns, --listen  the controller's socket that counts the datagrams
//                        made of the device's frames
//   --count, --seed      how many packets, and the seed of their randomness
//   --frame-gap-us       the device's pause between two of its frames
//   --watch-pid          the forwarder, whose memory is read before and after
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "bench/peer.h"

namespace {

constexpr std::size_t kMaxFloodPayload = 2048;

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The flood's packet number `index`: its payload into `out` (kMaxFloodPayload
// bytes), its length returned. The index sits after the OpCode, as far as the
// length leaves room, so that a lost packet cannot pass for its neighbour.
std::size_t FloodPacket(std::uint64_t seed, std::uint64_t index, std::uint8_t* out) {
  std::uint64_t state = seed ^ (index * 0xD1B54A32D192ED03ull);
  const std::uint64_t shape = SplitMix(state);
  const std::size_t length = shape % (kMaxFloodPayload + 1);
  // Half the OpCodes are random; the others are the two a forwarder must
  // hold back, so both rules get exercised often.
  std::uint16_t opcode = static_cast<std::uint16_t>(shape >> 32);
  switch ((shape >> 48) % 4) {
    case 0: opcode = static_cast<std::uint16_t>(0x2100 | (opcode & 0xFF)); break;
    case 1: opcode = static_cast<std::uint16_t>(0x5200 | (opcode & 0xFF)); break;
    default: break;
  }
  std::uint8_t head[18];
  WriteArtNetHeader(opcode, head);
  for (int i = 0; i < 8; ++i) head[10 + i] = static_cast<std::uint8_t>(index >> (8 * i));
  std::memcpy(out, head, length < sizeof head ? length : sizeof head);
  for (std::size_t i = sizeof head; i < length; i += 8) {
    const std::uint64_t random = SplitMix(state);
    std::memcpy(out + i, &random, length - i < 8 ? length - i : 8);
  }
  return length;
}

bool MustForward(const std::uint8_t* payload, std::size_t length) {
  return length >= 10 && length <= 530 && payload[9] != 0x21 && payload[9] != 0x52;
}

long long BacklogDrops() {
  // The second column of each CPU's line: packets dropped because the
  // receive backlog was full, before any socket (a capture one included)
  // could see them.
  std::ifstream file("/proc/net/softnet_stat");
  long long total = 0;
  std::string processed;
  std::string dropped;
  std::string rest;
  while (file >> processed >> dropped && std::getline(file, rest)) {
    total += std::stoll(dropped, nullptr, 16);
  }
  return total;
}

struct Verdict {
  long long delivered = 0;
  long long missing = 0;
  long long stray_bytes = 0;
};

// Walks the device's bytes against the packets that must arrive, in order.
Verdict CheckDelivery(std::uint64_t seed, const std::vector<std::uint32_t>& expected,
                      const std::vector<std::uint8_t>& stream) {
  Verdict verdict;
  std::uint8_t packet[kMaxFloodPayload];
  std::size_t next = 0;
  std::size_t at = 0;
  const std::size_t size = stream.size();
  auto id_at = [&](std::size_t position) {
    const std::size_t left = size - position;
    return std::memcmp(&stream[position], kArtNetId, left < 8 ? left : 8) == 0;
  };
  while (at < size) {
    bool matched = false;
    if (id_at(at)) {
      for (std::size_t candidate = next; candidate < expected.size() && candidate < next + 400000;
           ++candidate) {
        const std::size_t length = FloodPacket(seed, expected[candidate], packet);
        if (length > size - at || std::memcmp(packet, &stream[at], length) != 0) continue;
        // A 10-byte packet carries no index: take it only where the next
        // packet starts right after it.
        if (at + length < size && !id_at(at + length)) continue;
        verdict.missing += static_cast<long long>(candidate - next);
        next = candidate + 1;
        at += length;
        ++verdict.delivered;
        matched = true;
        break;
      }
    }
    if (matched) continue;
    std::size_t skip = at + 1;
    while (skip < size && !id_at(skip)) ++skip;
    verdict.stray_bytes += static_cast<long long>(skip - at);
    at = skip;
  }
  verdict.missing += static_cast<long long>(expected.size() - next);
  return verdict;
}

}  // namespace

int RunFlood(const Options& options) {
  const int device = static_cast<int>(options.Number("device", -1));
  if (device < 0) Die("--device FD is needed");
  const long long count = options.Number("count", 1000000);
  const std::uint64_t seed = static_cast<std::uint64_t>(options.Number("seed", 1));
  const long long frame_gap_us = options.Number("frame-gap-us", 500);
  const int watch_pid = static_cast<int>(options.Number("watch-pid", 0));
  const int send_fd = OpenUdp(options.Text("send-ns"), "");
  sockaddr_in to = ParseEndpoint(options.Text("to"));
  int sink = -1;
  if (options.Has("sink")) sink = OpenUdp(options.Text("sink-ns"), options.Text("sink"), 4096);
  const int controller = OpenUdp(options.Text("recv-ns"), options.Text("listen"), 8 << 20);
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  fcntl(device, F_SETFL, fcntl(device, F_GETFL) | O_NONBLOCK);
  Drain(device, 0);

  std::vector<std::uint32_t> expected;
  {
    std::uint8_t packet[kMaxFloodPayload];
    for (long long i = 0; i < count; ++i) {
      const std::size_t length = FloodPacket(seed, static_cast<std::uint64_t>(i), packet);
      if (MustForward(packet, length)) expected.push_back(static_cast<std::uint32_t>(i));
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> last_byte_at{0};
  std::vector<std::uint8_t> stream;
  stream.reserve(static_cast<std::size_t>(count) * 80);
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(1 << 18);
    while (!stop.load()) {
      const long got = ReadWithin(device, buffer.data(), buffer.size(), 20);
      if (got < 0) break;
      if (got == 0) continue;
      stream.insert(stream.end(), buffer.data(), buffer.data() + got);
      last_byte_at.store(NowNs());
    }
  });

  // The device's side: random frames, with and without CR LF. None starts
  // with 'A', so none can pass for an Art-Net packet when the bridge's own
  // datagram comes back past its capture.
  long long frames_with_end = 0;
  long long frames_without_end = 0;
  std::thread device_writer([&] {
    std::uint64_t state = seed * 7 + 3;
    std::vector<std::uint8_t> frame(4096);
    while (!stop.load()) {
      const std::uint64_t shape = SplitMix(state);
      const bool ended = (shape & 1) != 0;
      const std::size_t length = ended ? 2 + (shape >> 8) % 2046 : 1 + (shape >> 8) % 4096;
      for (std::size_t i = 0; i < length; i += 8) {
        const std::uint64_t random = SplitMix(state);
        std::memcpy(&frame[i], &random, length - i < 8 ? length - i : 8);
      }
      if (frame[0] == 'A') frame[0] = 'a';
      if (ended) {
        frame[length - 2] = '\r';
        frame[length - 1] = '\n';
        ++frames_with_end;
      } else {
        if (frame[length - 1] == '\n') frame[length - 1] = 0;
        ++frames_without_end;
      }
      // The device fd is non-blocking: a bridge that stops reading must not
      // hold this thread past the end of the flood.
      std::size_t written = 0;
      while (written < length && !stop.load()) {
        const ssize_t count = write(device, frame.data() + written, length - written);
        if (count > 0) {
          written += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
          return;
        } else {
          SleepUntilNs(NowNs() + 200000);
        }
      }
      if (frame_gap_us > 0) SleepUntilNs(NowNs() + frame_gap_us * 1000);
    }
  });

  long long datagrams = 0;
  long long bad_datagrams = 0;
  std::thread counter([&] {
    std::uint8_t datagram[65536];
    while (!stop.load()) {
      const long got = ReadWithin(controller, datagram, sizeof datagram, 20);
      if (got <= 0) continue;
      ++datagrams;
      if (got < 2 || got > 2047 || datagram[got - 2] != '\r' || datagram[got - 1] != '\n') {
        ++bad_datagrams;
      }
    }
  });

  const ProcessUsage before = ReadProcessUsage(watch_pid);
  const long long drops_before = BacklogDrops();
  constexpr int kBatch = 64;
  std::vector<std::uint8_t> payloads(kBatch * kMaxFloodPayload);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  long long sent = 0;
  std::vector<std::uint32_t> unsent;
  const std::int64_t start = NowNs();
  while (sent < count) {
    const int batch = static_cast<int>(count - sent < kBatch ? count - sent : kBatch);
    for (int i = 0; i < batch; ++i) {
      std::uint8_t* payload = &payloads[static_cast<std::size_t>(i) * kMaxFloodPayload];
      const std::size_t length = FloodPacket(seed, static_cast<std::uint64_t>(sent + i), payload);
      vectors[i] = {payload, length};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int done = 0;
    while (done < batch) {
      const int result = sendmmsg(send_fd, messages + done, static_cast<unsigned>(batch - done), 0);
      if (result <= 0) {
        // The packet at `done` could not be sent (ENOBUFS, say): skip it, and
        // it is not expected at the device either.
        unsent.push_back(static_cast<std::uint32_t>(sent + done));
        ++done;
        continue;
      }
      done += result;
    }
    sent += batch;
  }
  const std::int64_t flood_end = NowNs();

  // Let the tail reach the device: stop when it has been quiet for a second.
  for (;;) {
    SleepUntilNs(NowNs() + 100000000);
    const std::int64_t last = last_byte_at.load();
    if (NowNs() - (last > flood_end ? last : flood_end) > 1000000000) break;
  }
  const long long drops_after = BacklogDrops();
  stop.store(true);
  reader.join();
  device_writer.join();
  counter.join();
  const ProcessUsage after = ReadProcessUsage(watch_pid);

  // What never left the sender is not expected anywhere.
  std::vector<std::uint32_t> due;
  std::set_difference(expected.begin(), expected.end(), unsent.begin(), unsent.end(),
                      std::back_inserter(due));
  const Verdict verdict = CheckDelivery(seed, due, stream);
  const double seconds = static_cast<double>(flood_end - start) / 1e9;
  JsonLine()
      .Add("sent", static_cast<double>(sent))
      .Add("send_failures", static_cast<double>(unsent.size()))
      .Add("send_rate", static_cast<double>(sent) / seconds)
      .Add("backlog_drops", static_cast<double>(drops_after - drops_before))
      .Add("must_forward", static_cast<double>(due.size()))
      .Add("delivered", static_cast<double>(verdict.delivered))
      .Add("missing", static_cast<double>(verdict.missing))
      .Add("stray_bytes", static_cast<double>(verdict.stray_bytes))
      .Add("device_bytes", static_cast<double>(stream.size()))
      .Add("frames_with_crlf", static_cast<double>(frames_with_end))
      .Add("frames_without_crlf", static_cast<double>(frames_without_end))
      .Add("datagrams", static_cast<double>(datagrams))
      .Add("bad_datagrams", static_cast<double>(bad_datagrams))
      .Add("rss_before_kb", static_cast<double>(before.rss_kb))
      .Add("hwm_before_kb", static_cast<double>(before.hwm_kb))
      .Add("rss_after_kb", static_cast<double>(after.rss_kb))
      .Add("hwm_after_kb", static_cast<double>(after.hwm_kb))
      .Print();
  if (sink >= 0) close(sink);
  return 0;
}
