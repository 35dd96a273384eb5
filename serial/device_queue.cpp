#include "serial/device_queue.h"

#include <cstring>

#include "artnet/artnet.h"

namespace {

std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// 64 bits of `size` bytes. Each step is a bijection of the state, so two
// runs of bytes of one length that differ in a single word always differ
// here; others coincide by chance alone, once in 2^64.
std::uint64_t HashBytes(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t state = Mix(size + 0x9E3779B97F4A7C15ull);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    state = Mix(state ^ word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes + i, size - i);
  return Mix(state ^ tail);
}

}  // namespace

DeviceQueue::History::History() : entries_(kSize) {}

std::size_t DeviceQueue::History::Find(const Stream& stream) const {
  std::size_t at = Mix(stream.key ^ std::uint64_t{stream.source} << 32) & (kSize - 1);
  while (entries_[at].used && (entries_[at].source != stream.source || entries_[at].key != stream.key)) {
    at = (at + 1) & (kSize - 1);
  }
  return at;
}

bool DeviceQueue::History::Repeats(const Stream& stream, std::int64_t now) const {
  if (stream.data == 0) return false;
  const Entry& entry = entries_[Find(stream)];
  return entry.used && entry.data == stream.data && now - entry.at < kKeepAlive;
}

void DeviceQueue::History::Sent(const Stream& stream, std::int64_t now) {
  if (stream.data == 0) return;
  std::size_t at = Find(stream);
  if (!entries_[at].used) {
    // Never more than half full, so that a look-up ends soon.
    if (used_ >= kSize / 2) {
      for (Entry& entry : entries_) entry.used = false;
      used_ = 0;
      at = Find(stream);
    }
    ++used_;
  }
  entries_[at] = Entry{true, stream.source, stream.key, stream.data, now};
}

DeviceQueue::DeviceQueue() : slots_(kCapacity) {
  free_.reserve(kCapacity);
  for (std::size_t i = kCapacity; i > 0; --i) free_.push_back(static_cast<std::uint16_t>(i - 1));
}

DeviceQueue::Stream DeviceQueue::Classify(std::uint32_t source, const std::uint8_t* payload,
                                          std::size_t size) {
  Stream stream;
  // Shorter than its header, a DMX packet names no universe to coalesce by.
  const std::optional<UniverseKey> universe = DmxUniverse(payload, size);
  if (!universe) return stream;
  stream.dmx = true;
  stream.source = source;
  stream.key = universe->value();
  // The data, from Length on; never 0, which stands for "not told apart".
  if (universe->opcode == kOpDmx) {
    stream.data = HashBytes(payload + kDmxLengthOffset, size - kDmxLengthOffset) | 1;
  }
  return stream;
}

void DeviceQueue::Fill(std::uint16_t slot, std::uint32_t source, const std::uint8_t* payload,
                       std::size_t size, const Stream& stream) {
  Slot& s = slots_[slot];
  s.packet.source = source;
  s.packet.size = size;
  std::memcpy(s.packet.bytes.data(), payload, size);
  s.stream = stream;
}

void DeviceQueue::Append(std::uint16_t slot) {
  slots_[slot].previous = tail_;
  slots_[slot].next = kNone;
  if (tail_ != kNone) {
    slots_[tail_].next = slot;
  } else {
    head_ = slot;
  }
  tail_ = slot;
  ++size_;
}

void DeviceQueue::Unlink(std::uint16_t slot) {
  const Slot& s = slots_[slot];
  if (s.previous != kNone) {
    slots_[s.previous].next = s.next;
  } else {
    head_ = s.next;
  }
  if (s.next != kNone) {
    slots_[s.next].previous = s.previous;
  } else {
    tail_ = s.previous;
  }
  free_.push_back(slot);
  --size_;
}

DeviceQueue::Offered DeviceQueue::Offer(std::uint32_t source, const std::uint8_t* payload,
                                        std::size_t size) {
  if (size > kMaxQueuedPacket) return Offered::kDropped;
  const Stream stream = Classify(source, payload, size);
  std::uint16_t oldest_dmx = kNone;
  for (std::uint16_t at = head_; at != kNone; at = slots_[at].next) {
    if (stream.dmx && slots_[at].stream == stream) {
      // The newer data takes the older one's place in the line.
      Fill(at, source, payload, size, stream);
      return Offered::kReplaced;
    }
    if (oldest_dmx == kNone && slots_[at].stream.dmx) oldest_dmx = at;
  }
  Offered offered = Offered::kQueued;
  if (free_.empty()) {
    if (stream.dmx || oldest_dmx == kNone) return Offered::kDropped;
    Unlink(oldest_dmx);
    offered = Offered::kDisplaced;
  }
  const std::uint16_t slot = free_.back();
  free_.pop_back();
  Fill(slot, source, payload, size, stream);
  Append(slot);
  return offered;
}

bool DeviceQueue::OnlyRepeatsWait(std::int64_t now) const {
  if (head_ == kNone) return false;
  for (std::uint16_t at = head_; at != kNone; at = slots_[at].next) {
    if (!history_.Repeats(slots_[at].stream, now)) return false;
  }
  return true;
}

bool DeviceQueue::Take(std::int64_t now, QueuedPacket* out) {
  if (head_ == kNone) return false;
  std::uint16_t slot = head_;
  for (std::uint16_t at = head_; at != kNone; at = slots_[at].next) {
    if (!history_.Repeats(slots_[at].stream, now)) {
      slot = at;
      break;
    }
  }
  const QueuedPacket& packet = slots_[slot].packet;
  out->source = packet.source;
  out->size = packet.size;
  std::memcpy(out->bytes.data(), packet.bytes.data(), packet.size);
  history_.Sent(slots_[slot].stream, now);
  Unlink(slot);
  return true;
}

std::size_t DeviceQueue::Clear() {
  const std::size_t dropped = size_;
  while (head_ != kNone) Unlink(head_);
  return dropped;
}
