#include "net/capture_filter.h"

#include <cstddef>

#include "net/artnet.h"
#include "net/artnet_filter.h"

namespace {

using namespace bpf;

constexpr std::uint32_t kProtocolUdp = 17;
constexpr std::uint32_t kUdpHeaderSize = 8;

// The ID's two halves as 32-bit big-endian loads see them.
constexpr std::uint32_t BigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

// Builds the program with every failed test jumping forward to one "drop"
// instruction at the end, so the jump offsets come from positions, not from
// counting by hand.
class ProgramBuilder {
 public:
  void Add(std::uint16_t code, std::uint32_t k) { program_.push_back({code, 0, 0, k}); }

  // Goes on with the next instruction when A == k, drops the packet otherwise.
  void KeepIfEqual(std::uint32_t k) { AddJump(kJmp | kJeq | kK, k, false); }
  // Drops the packet when A == k.
  void DropIfEqual(std::uint32_t k) { AddJump(kJmp | kJeq | kK, k, true); }
  // Drops the packet when A > k, unsigned.
  void DropIfAbove(std::uint32_t k) { AddJump(kJmp | kJgt | kK, k, true); }

  std::vector<BpfInstruction> Finish() {
    Add(kRet | kK, kBpfKeepWholePacket);
    const std::size_t drop = program_.size();
    Add(kRet | kK, 0);
    for (const DropJump& jump : drop_jumps_) {
      // Offsets count from the instruction after the jump.
      const auto skip = static_cast<std::uint8_t>(drop - jump.at - 1);
      (jump.drop_if_true ? program_[jump.at].jt : program_[jump.at].jf) = skip;
    }
    return program_;
  }

 private:
  void AddJump(std::uint16_t code, std::uint32_t k, bool drop_if_true) {
    drop_jumps_.push_back({program_.size(), drop_if_true});
    Add(code, k);
  }

  struct DropJump {
    std::size_t at;
    bool drop_if_true;
  };
  std::vector<BpfInstruction> program_;
  std::vector<DropJump> drop_jumps_;
};

}  // namespace

std::vector<BpfInstruction> ArtNetCaptureFilter() {
  // The tests are MatchArtNet's, in its order. A load past the packet's end
  // drops it; MatchArtNet never keeps such a packet, since each load lies
  // inside the length the test before it has required.
  ProgramBuilder p;
  p.Add(kLd | kB | kAbs, 9);  // The IPv4 protocol.
  p.KeepIfEqual(kProtocolUdp);

  p.Add(kLdx | kB | kMsh, 0);  // X = header length H.
  // The UDP payload's length less 10 must lie in 0..520: length - H - 18,
  // unsigned, so a header longer than the packet wraps to a huge value.
  p.Add(kLd | kW | kLen, 0);
  p.Add(kAlu | kSub | kX, 0);
  p.Add(kAlu | kSub | kK, kUdpHeaderSize + kMinArtNetPayload);
  p.DropIfAbove(kMaxArtNetPayload - kMinArtNetPayload);

  p.Add(kLd | kH | kInd, 2);  // The UDP destination port.
  p.KeepIfEqual(kArtNetPort);

  p.Add(kLd | kW | kInd, kUdpHeaderSize);  // "Art-"
  p.KeepIfEqual(BigEndian32(kArtNetId));
  p.Add(kLd | kW | kInd, kUdpHeaderSize + 4);  // "Net" and a zero byte.
  p.KeepIfEqual(BigEndian32(kArtNetId + 4));

  p.Add(kLd | kB | kInd, kUdpHeaderSize + kArtNetOpCodeOffset + 1);  // The OpCode's high byte.
  p.DropIfEqual(kOpPollReplyHigh);
  p.DropIfEqual(kOpSyncHigh);
  return p.Finish();
}
