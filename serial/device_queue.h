// The Art-Net packets waiting for the device's wire, and what gives way when
// the wire cannot carry everything the network offers.
//
// The serial link carries 120,000 bytes a second, some 226 full ArtDmx: a
// show network can offer many times that. For live lighting a late frame is
// worse than a dropped one, so a waiting ArtDmx is replaced by a newer one
// for the same universe from the same source, in its place in the line
// (ArtNzs likewise, per start code). Two sources sending the same universe
// (a node may merge them) are never coalesced. Every other packet (ArtPoll,
// ArtAddress, ArtRdm, ...) keeps its place and is never dropped to make room
// for DMX. Pure; not thread-safe (the writer in serial/device_writer.h locks).
#ifndef ARTNET_SERIAL_DEVICE_QUEUE_H_
#define ARTNET_SERIAL_DEVICE_QUEUE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "artnet/artnet.h"

// The largest packet the capture side forwards.
constexpr std::size_t kMaxQueuedPacket = kMaxArtNetPacket;

struct QueuedPacket {
  std::uint32_t source = 0;  // IPv4 address, network byte order.
  std::size_t size = 0;
  std::array<std::uint8_t, kMaxQueuedPacket> bytes{};
};

class DeviceQueue {
 public:
  // About a second of the wire's time in full ArtDmx; with coalescing, DMX
  // alone fills it only with as many universes and sources.
  static constexpr std::size_t kCapacity = 256;

  enum class Offered {
    kQueued,      // At the end of the line.
    kReplaced,    // A waiting packet of the same stream was replaced (it is dropped).
    kDropped,     // The queue was full of packets that may not give way.
    kDisplaced,   // Queued; to make room the oldest waiting DMX was dropped.
  };

  DeviceQueue();

  // Offers a packet of `size` bytes (at most kMaxQueuedPacket; larger ones
  // are dropped) captured from `source`. A queue at capacity drops a new DMX
  // packet, and makes room for any other by dropping its oldest DMX packet
  // (or drops the newcomer when only such packets wait).
  Offered Offer(std::uint32_t source, const std::uint8_t* payload, std::size_t size);

  // Moves the first packet in line to `out`. False when none waits.
  bool Take(QueuedPacket* out);

  // Drops every waiting packet; returns how many.
  std::size_t Clear();

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  static constexpr std::uint16_t kNone = 0xFFFF;

  // Which stream a DMX packet belongs to: source, OpCode, universe and (for
  // ArtNzs) start code; not DMX when `dmx` is false.
  struct Stream {
    bool dmx = false;
    std::uint32_t source = 0;
    std::uint64_t key = 0;  // OpCode, start code and universe.
    bool operator==(const Stream& other) const {
      return dmx && other.dmx && source == other.source && key == other.key;
    }
  };
  struct Slot {
    QueuedPacket packet;
    Stream stream;
    std::uint16_t previous = kNone;
    std::uint16_t next = kNone;
  };

  static Stream Classify(std::uint32_t source, const std::uint8_t* payload, std::size_t size);
  void Fill(std::uint16_t slot, std::uint32_t source, const std::uint8_t* payload, std::size_t size,
            const Stream& stream);
  void Append(std::uint16_t slot);
  void Unlink(std::uint16_t slot);

  // The line is a list threaded through the slots; free slots form a stack.
  std::vector<Slot> slots_;
  std::vector<std::uint16_t> free_;
  std::uint16_t head_ = kNone;
  std::uint16_t tail_ = kNone;
  std::size_t size_ = 0;
};

#endif  // ARTNET_SERIAL_DEVICE_QUEUE_H_
