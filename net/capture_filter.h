// The kernel-side half of the Art-Net filter on Linux: a classic BPF program
// that lets through only the packets MatchArtNet keeps, so the capture thread
// is woken for Art-Net traffic and nothing else.
#ifndef ARTNET_NET_CAPTURE_FILTER_H_
#define ARTNET_NET_CAPTURE_FILTER_H_

#include <cstdint>
#include <vector>

// One classic BPF instruction, laid out as Linux's struct sock_filter (the
// Linux file checks that they match).
struct BpfInstruction {
  std::uint16_t code;
  std::uint8_t jt;  // Instructions to skip when a jump's test holds.
  std::uint8_t jf;  // Instructions to skip when it does not.
  std::uint32_t k;
};
static_assert(sizeof(BpfInstruction) == 8, "a classic BPF instruction is 8 bytes");

// The parts of a classic BPF opcode the filter is made of, with the values
// every BPF implementation gives them.
namespace bpf {
// Instruction classes.
constexpr std::uint16_t kLd = 0x00;   // A = ...
constexpr std::uint16_t kLdx = 0x01;  // X = ...
constexpr std::uint16_t kAlu = 0x04;
constexpr std::uint16_t kJmp = 0x05;
constexpr std::uint16_t kRet = 0x06;
// Load sizes.
constexpr std::uint16_t kW = 0x00;  // 32 bits, big-endian.
constexpr std::uint16_t kH = 0x08;  // 16 bits, big-endian.
constexpr std::uint16_t kB = 0x10;  // 8 bits.
// Load modes.
constexpr std::uint16_t kAbs = 0x20;  // The packet's bytes at k.
constexpr std::uint16_t kInd = 0x40;  // The packet's bytes at X + k.
constexpr std::uint16_t kLen = 0x80;  // The packet's length.
constexpr std::uint16_t kMsh = 0xA0;  // X = (byte at k & 0x0F) * 4: an IPv4 header length.
// Arithmetic and jumps.
constexpr std::uint16_t kSub = 0x10;
constexpr std::uint16_t kJeq = 0x10;
constexpr std::uint16_t kJgt = 0x20;
// Operand: the constant k, or the X register.
constexpr std::uint16_t kK = 0x00;
constexpr std::uint16_t kX = 0x08;
}  // namespace bpf

// What the filter returns to keep a packet: "all of it". Linux cuts a kept
// packet to the returned count, and this is above any packet's length.
constexpr std::uint32_t kBpfKeepWholePacket = 0xFFFFFFFF;

// The filter for a Linux packet socket of type SOCK_DGRAM, whose packets start
// with the IPv4 header. It keeps a packet exactly when MatchArtNet does: byte
// 9 is 17 (UDP); with H the header length from the low nibble of byte 0, the
// length is H + 18 to H + 538 (a UDP payload of 10 to 530 bytes, which the
// capture loop's 2048-byte buffer always holds whole); the UDP destination
// port at H + 2 is 6454; the payload starts with the Art-Net ID; and the
// OpCode's high byte is neither 0x21 nor 0x52. A kept packet is returned whole
// (kBpfKeepWholePacket); a dropped one gets 0. Loads past the packet's end
// drop it, as they do in the kernel. Pure; any thread.
std::vector<BpfInstruction> ArtNetCaptureFilter();

// Attaches ArtNetCaptureFilter to the packet socket `fd` (SO_ATTACH_FILTER),
// so the kernel drops everything else before it reaches the socket. Attach it
// before binding the socket to a protocol, or packets queued in between are
// delivered unfiltered (MatchArtNet still sorts them out). Returns false, and
// writes nothing, when the kernel refuses it: the bridge works without it, only
// waking for every packet. Linux only; any thread.
bool AttachArtNetCaptureFilter(int fd);

#endif  // ARTNET_NET_CAPTURE_FILTER_H_
