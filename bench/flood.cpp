// The flood: Art-Net packets as fast as the sender can push them, with random
// OpCodes and lengths from 0 to 2048 bytes, while the device sends random
// frames at its wire's pace, some ending in CR LF and some (up to 4096 bytes)
// not. A forwarder passes on at most what the wire carries, so the bytes the
// device read are checked afterwards (flood-check) against the packets it may
// pass on: a UDP payload of 10 to 530 bytes whose OpCode high byte is neither
// 0x21 (OpPollReply) nor 0x52 (OpSync).
//
// flood:
//   --send-ns, --to      where the flood goes from and to
//   --sink, --sink-ns    a socket bound at the flood's destination that never
//                        reads (no ICMP errors, no reader cost)
//   --recv-ns, --listen  the controller's socket that counts the datagrams
//                        made of the device's frames
//   --count, --seed      how many packets, and the seed of their randomness
//   --device-input FD    the simulated device's standard input, where each
//                        frame goes as a line of hex; --device-baud its wire's
//                        rate, which paces them
//   --settle-ms          how long the controller goes on counting afterwards
//   --schedule FILE      written: "B FIRST NS" for each batch of packets, sent
//                        after NS, and "U INDEX" for each packet not sent
//
// flood-check --stream FILE --schedule FILE --seed --count: walks the bytes
// the device read against the packets that were sent and may be passed on,
// in order, and prints "D INDEX END" for each that arrived whole (END just
// past its last byte), "M INDEX NS CONTROL" for each that did not (NS: its
// batch's time; CONTROL 1 unless it is DMX, which may give way to newer
// DMX), then a JSON line of the counts.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
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

bool MayForward(const std::uint8_t* payload, std::size_t length) {
  return length >= 10 && length <= 530 && payload[9] != 0x21 && payload[9] != 0x52;
}

// ArtDmx and ArtNzs long enough to name a universe: a forwarder may let them
// give way to newer data for it.
bool IsDmx(const std::uint8_t* payload, std::size_t length) {
  return length >= 18 && payload[8] == 0 && (payload[9] == 0x50 || payload[9] == 0x51);
}

std::uint64_t IndexIn(const std::uint8_t* at, std::size_t bytes) {
  std::uint64_t index = 0;
  for (std::size_t i = bytes; i > 0; --i) index = index << 8 | at[i - 1];
  return index;
}

// The packets that may be passed on, less those never sent.
std::vector<std::uint32_t> Due(std::uint64_t seed, long long count, const std::vector<std::uint32_t>& unsent) {
  std::vector<std::uint32_t> due;
  std::uint8_t packet[kMaxFloodPayload];
  for (long long i = 0; i < count; ++i) {
    const std::size_t length = FloodPacket(seed, static_cast<std::uint64_t>(i), packet);
    if (MayForward(packet, length) && !std::binary_search(unsent.begin(), unsent.end(), i)) {
      due.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return due;
}

}  // namespace

int RunFlood(const Options& options) {
  const long long count = options.Number("count", 1000000);
  const std::uint64_t seed = static_cast<std::uint64_t>(options.Number("seed", 1));
  const int device_input = static_cast<int>(options.Number("device-input", -1));
  const long long device_baud = options.Number("device-baud", 1200000);
  const int settle_ms = static_cast<int>(options.Number("settle-ms", 3000));
  const int send_fd = OpenUdp(options.Text("send-ns"), "");
  sockaddr_in to = ParseEndpoint(options.Text("to"));
  int sink = -1;
  if (options.Has("sink")) sink = OpenUdp(options.Text("sink-ns"), options.Text("sink"), 4096);
  const int controller = OpenUdp(options.Text("recv-ns"), options.Text("listen"), 8 << 20);
  FILE* schedule = std::fopen(options.Text("schedule").c_str(), "w");
  if (schedule == nullptr) Die("cannot write the schedule " + options.Text("schedule"));
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);

  // The device's side: random frames, with and without CR LF, one after the
  // other at the wire's pace. None starts with 'A', so none can pass for an
  // Art-Net packet when the bridge's own datagram comes back past its
  // capture.
  std::atomic<bool> stop{false};
  long long frames_with_end = 0;
  long long frames_without_end = 0;
  std::thread device_writer([&] {
    if (device_input < 0) return;
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
      const std::string line = Hex(frame.data(), length) + "\n";
      if (!WriteAll(device_input, reinterpret_cast<const std::uint8_t*>(line.data()), line.size())) return;
      SleepUntilNs(NowNs() + static_cast<std::int64_t>(length) * 10 * 1000000000LL / device_baud);
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

  constexpr int kBatch = 64;
  std::vector<std::uint8_t> payloads(kBatch * kMaxFloodPayload);
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  long long sent = 0;
  long long failures = 0;
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
    std::fprintf(schedule, "B %lld %lld\n", sent, static_cast<long long>(NowNs()));
    int done = 0;
    while (done < batch) {
      const int result = sendmmsg(send_fd, messages + done, static_cast<unsigned>(batch - done), 0);
      if (result <= 0) {
        // The packet at `done` could not be sent (ENOBUFS, say): skip it, and
        // it is not expected at the device either.
        std::fprintf(schedule, "U %lld\n", sent + done);
        ++failures;
        ++done;
        continue;
      }
      done += result;
    }
    sent += batch;
  }
  const std::int64_t flood_end = NowNs();
  std::fclose(schedule);
  SleepUntilNs(flood_end + static_cast<std::int64_t>(settle_ms) * 1000000);
  stop.store(true);
  device_writer.join();
  counter.join();

  JsonLine()
      .Add("sent", static_cast<double>(sent))
      .Add("send_failures", static_cast<double>(failures))
      .Add("send_rate", static_cast<double>(sent) / (static_cast<double>(flood_end - start) / 1e9))
      .Add("frames_with_crlf", static_cast<double>(frames_with_end))
      .Add("frames_without_crlf", static_cast<double>(frames_without_end))
      .Add("datagrams", static_cast<double>(datagrams))
      .Add("bad_datagrams", static_cast<double>(bad_datagrams))
      .Print();
  if (sink >= 0) close(sink);
  return 0;
}

int RunFloodCheck(const Options& options) {
  const long long count = options.Number("count", 1000000);
  const std::uint64_t seed = static_cast<std::uint64_t>(options.Number("seed", 1));
  std::ifstream file(options.Text("stream"), std::ios::binary);
  if (!file) Die("cannot read " + options.Text("stream"));
  const std::vector<std::uint8_t> stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::pair<long long, std::int64_t>> batches;  // First index, time.
  std::vector<std::uint32_t> unsent;
  std::ifstream schedule(options.Text("schedule"));
  for (std::string kind; schedule >> kind;) {
    long long index = 0;
    std::int64_t at = 0;
    if (kind == "B" && schedule >> index >> at) batches.emplace_back(index, at);
    if (kind == "U" && schedule >> index) unsent.push_back(static_cast<std::uint32_t>(index));
  }
  const std::vector<std::uint32_t> due = Due(seed, count, unsent);

  // Walks the stream against the due packets, in order. Most of them are
  // missing (the wire carries a small share of a flood), so a packet is found
  // by the index it carries after its OpCode; one too short to carry all of
  // it, by trying the next few due packets whose bytes it starts with.
  std::vector<bool> delivered(due.size(), false);
  std::uint8_t packet[kMaxFloodPayload];
  const std::size_t size = stream.size();
  auto id_at = [&](std::size_t at) {
    const std::size_t left = size - at;
    return std::memcmp(&stream[at], kArtNetId, left < 8 ? left : 8) == 0;
  };
  auto matches = [&](std::size_t candidate, std::size_t at) -> std::size_t {
    const std::size_t length = FloodPacket(seed, due[candidate], packet);
    if (length > size - at || std::memcmp(packet, &stream[at], length) != 0) return 0;
    // A short packet carries little of its index: take it only where the
    // next packet starts right after it.
    return at + length == size || id_at(at + length) ? length : 0;
  };
  std::size_t next = 0;
  std::size_t at = 0;
  long long stray = 0;
  long long count_delivered = 0;
  while (at < size) {
    std::size_t found = due.size();
    std::size_t length = 0;
    if (id_at(at) && size - at >= 10) {
      if (size - at >= 18) {
        const auto index = std::lower_bound(due.begin() + static_cast<std::ptrdiff_t>(next), due.end(),
                                            static_cast<std::uint32_t>(IndexIn(&stream[at + 10], 8)));
        const std::size_t candidate = static_cast<std::size_t>(index - due.begin());
        if (index != due.end() && (length = matches(candidate, at)) != 0) found = candidate;
      }
      for (std::size_t candidate = next; found == due.size() && candidate < due.size() && candidate < next + 5000;
           ++candidate) {
        if ((length = matches(candidate, at)) != 0) found = candidate;
      }
    }
    if (found != due.size()) {
      delivered[found] = true;
      ++count_delivered;
      next = found + 1;
      at += length;
      std::printf("D %u %zu\n", due[found], at);
      continue;
    }
    std::size_t skip = at + 1;
    while (skip < size && !id_at(skip)) ++skip;
    stray += static_cast<long long>(skip - at);
    at = skip;
  }
  long long missing_control = 0;
  for (std::size_t i = 0; i < due.size(); ++i) {
    if (delivered[i]) continue;
    const auto batch = std::upper_bound(batches.begin(), batches.end(), std::make_pair(static_cast<long long>(due[i]),
                                                                                         INT64_MAX)) - 1;
    const std::size_t length = FloodPacket(seed, due[i], packet);
    const bool control = !IsDmx(packet, length);
    missing_control += control;
    std::printf("M %u %lld %d\n", due[i], static_cast<long long>(batch->second), control ? 1 : 0);
  }
  JsonLine()
      .Add("may_forward", static_cast<double>(due.size()))
      .Add("delivered", static_cast<double>(count_delivered))
      .Add("missing", static_cast<double>(static_cast<long long>(due.size()) - count_delivered))
      .Add("missing_control", static_cast<double>(missing_control))
      .Add("unsent", static_cast<double>(unsent.size()))
      .Add("stray_bytes", static_cast<double>(stray))
      .Add("device_bytes", static_cast<double>(size))
      .Print();
  return 0;
}
