// Art-Net facts that both directions of the bridge rely on: the network
// side picks packets by them, the device side finds frames by them.
#ifndef ARTNET_APP_ARTNET_H_
#define ARTNET_APP_ARTNET_H_

#include <cstddef>
#include <cstdint>

// Art-Net's UDP port, for both the source and the destination of its datagrams.
constexpr std::uint16_t kArtNetPort = 6454;

// Every Art-Net packet starts with this 8-byte ID ("Art-Net" and a zero byte),
// followed by the 16-bit OpCode, low byte first.
constexpr std::uint8_t kArtNetId[8] = {'A', 'r', 't', '-', 'N', 'e', 't', 0};
constexpr int kArtNetOpCodeOffset = 8;

// OpCode high bytes of the two packets never handed to the device: the
// device's own replies (OpPollReply, 0x2100) and OpSync (0x5200).
constexpr std::uint8_t kOpPollReplyHigh = 0x21;
constexpr std::uint8_t kOpSyncHigh = 0x52;

// Whether `payload` (`size` bytes) is an ArtPoll, a controller looking for
// nodes: the Art-Net ID, then OpCode 0x2000 (OpPoll), low byte first. Pure;
// any thread.
constexpr bool IsArtPoll(const std::uint8_t* payload, std::size_t size) {
  if (size < kArtNetOpCodeOffset + 2) return false;
  for (int i = 0; i < kArtNetOpCodeOffset; ++i) {
    if (payload[i] != kArtNetId[i]) return false;
  }
  return payload[kArtNetOpCodeOffset] == 0x00 && payload[kArtNetOpCodeOffset + 1] == 0x20;
}

#endif  // ARTNET_APP_ARTNET_H_
