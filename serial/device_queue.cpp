#include "serial/device_queue.h"

#include <cstring>

#include "artnet/artnet.h"

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

bool DeviceQueue::Take(QueuedPacket* out) {
  if (head_ == kNone) return false;
  const std::uint16_t slot = head_;
  const QueuedPacket& packet = slots_[slot].packet;
  out->source = packet.source;
  out->size = packet.size;
  std::memcpy(out->bytes.data(), packet.bytes.data(), packet.size);
  Unlink(slot);
  return true;
}

std::size_t DeviceQueue::Clear() {
  const std::size_t dropped = size_;
  while (head_ != kNone) Unlink(head_);
  return dropped;
}
