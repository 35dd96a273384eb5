// The kernel's half of the capture on Linux: a classic BPF program that lets
// through only what MatchArtNet keeps on the interfaces the bridge captures,
// so the capture thread is woken for Art-Net traffic and nothing else.
// MatchArtNet still decides on every packet. The programs are built here, in
// portable code, so that their tests run on every platform; the Linux
// capture socket attaches them.
#ifndef ARTNET_NET_ARTNET_BPF_H_
#define ARTNET_NET_ARTNET_BPF_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/adapters.h"

// One classic BPF instruction, laid out as Linux's struct sock_filter (the
// Linux capture socket checks that they match).
struct BpfInstruction {
  std::uint16_t code;
  std::uint8_t jt;  // Instructions to skip when a jump's test holds.
  std::uint8_t jf;  // Instructions to skip when it does not.
  std::uint32_t k;
};
static_assert(sizeof(BpfInstruction) == 8, "a classic BPF instruction is 8 bytes");

// The parts of a classic BPF opcode the programs are made of, with the values
// every BPF implementation gives them, and the Linux facts they load.
namespace bpf {
// Instruction classes.
constexpr std::uint16_t kLd = 0x00;   // A = ...
constexpr std::uint16_t kLdx = 0x01;  // X = ...
constexpr std::uint16_t kSt = 0x02;   // M[k] = A: one of 16 words of scratch memory.
constexpr std::uint16_t kAlu = 0x04;
constexpr std::uint16_t kJmp = 0x05;
constexpr std::uint16_t kRet = 0x06;
constexpr std::uint16_t kMisc = 0x07;  // Register moves.
// Load sizes.
constexpr std::uint16_t kW = 0x00;  // 32 bits, big-endian.
constexpr std::uint16_t kH = 0x08;  // 16 bits, big-endian.
constexpr std::uint16_t kB = 0x10;  // 8 bits.
// Load modes.
constexpr std::uint16_t kAbs = 0x20;  // The packet's bytes at k.
constexpr std::uint16_t kInd = 0x40;  // The packet's bytes at X + k.
constexpr std::uint16_t kMem = 0x60;  // The scratch word M[k].
constexpr std::uint16_t kLen = 0x80;  // The packet's length.
constexpr std::uint16_t kMsh = 0xA0;  // X = (byte at k & 0x0F) * 4: an IPv4 header length.
// Arithmetic and jumps.
constexpr std::uint16_t kSub = 0x10;
constexpr std::uint16_t kJa = 0x00;
constexpr std::uint16_t kJeq = 0x10;
constexpr std::uint16_t kJgt = 0x20;
constexpr std::uint16_t kJset = 0x40;  // A & k (or X) is not 0.
// Operand: the constant k, or the X register.
constexpr std::uint16_t kK = 0x00;
constexpr std::uint16_t kX = 0x08;
// Register moves (with kMisc).
constexpr std::uint16_t kTax = 0x00;  // X = A
constexpr std::uint16_t kTxa = 0x80;  // A = X

// A 32-bit absolute load at kAncillary + field loads one of Linux's facts
// about the packet instead of its bytes (SKF_AD_OFF, SKF_AD_*).
constexpr std::uint32_t kAncillary = 0xFFFFF000;
constexpr std::uint32_t kAncillaryProtocol = 0;    // Its EtherType, host order.
constexpr std::uint32_t kAncillaryPacketType = 4;  // PACKET_HOST, PACKET_OUTGOING, ...
constexpr std::uint32_t kAncillaryInterface = 8;   // The interface index.
constexpr std::uint32_t kPacketOutgoing = 4;       // PACKET_OUTGOING
constexpr std::uint32_t kEtherTypeIPv4 = 0x0800;   // ETH_P_IP
}  // namespace bpf

// What a program returns to keep a packet: "all of it". Linux cuts a kept
// packet to the returned count, and this is above any packet's length.
constexpr std::uint32_t kBpfKeepWholePacket = 0xFFFFFFFF;

// Builds a program whose jumps name their targets, so that no offset is
// counted by hand. Jumps go forward only, as classic BPF requires; every
// program ends in one "drop" (return 0) that failed tests jump to.
class BpfProgramBuilder {
 public:
  using Label = std::size_t;
  // The instruction after the jump.
  static constexpr Label kNext = 0;
  // The program's final "drop" instruction.
  static constexpr Label kDrop = 1;

  // A new target, placed later with Place.
  Label NewLabel();
  // The next instruction added is `label`'s target.
  void Place(Label label);

  void Add(std::uint16_t code, std::uint32_t k);
  // A conditional jump on A (`code` is kJmp | kJeq or kJgt, with kK or kX);
  // each target at most 255 instructions on.
  void Jump(std::uint16_t code, std::uint32_t k, Label if_true, Label if_false);
  // An unconditional jump, as far as the program goes.
  void Goto(Label label);

  // Goes on when A == k, drops the packet otherwise.
  void KeepIfEqual(std::uint32_t k) { Jump(bpf::kJmp | bpf::kJeq | bpf::kK, k, kNext, kDrop); }
  // Drops the packet when A == k.
  void DropIfEqual(std::uint32_t k) { Jump(bpf::kJmp | bpf::kJeq | bpf::kK, k, kDrop, kNext); }
  // Drops the packet when A > k, unsigned.
  void DropIfAbove(std::uint32_t k) { Jump(bpf::kJmp | bpf::kJgt | bpf::kK, k, kDrop, kNext); }
  // Drops the packet when any of the bits of k is set in A.
  void DropIfAnySet(std::uint32_t k) { Jump(bpf::kJmp | bpf::kJset | bpf::kK, k, kDrop, kNext); }

  // Appends the drop and resolves every jump. Empty when a conditional jump
  // is longer than an instruction can hold (255) or a jump targets a label
  // never placed.
  std::vector<BpfInstruction> Finish();

 private:
  struct PendingJump {
    std::size_t at;
    Label if_true;
    Label if_false;
  };
  static constexpr std::size_t kUnplaced = static_cast<std::size_t>(-1);
  std::vector<BpfInstruction> program_;
  std::vector<PendingJump> jumps_;
  // Where each label points; kNext and kDrop are resolved apart.
  std::vector<std::size_t> targets_ = {kUnplaced, kUnplaced};
};

// The length of the IPv4 packet that starts `received` bytes of a link
// frame's payload: its header's total length (bytes 2 and 3, big-endian),
// but never more than `received`. Ethernet pads every frame to 60 bytes, so
// a packet socket hands over a short packet with zero bytes after it, where a
// raw IPv4 socket gives the packet alone. Fewer than 4 bytes (too few for
// MatchArtNet anyway) give `received`. Reads nothing past `received`. Pure;
// any thread.
std::size_t IPv4PacketLength(const std::uint8_t* packet, std::size_t received);

// The program for a Linux packet socket of type SOCK_DGRAM, whose packets
// start with the IPv4 header. Of a packet of `n` bytes it judges the first
// count = IPv4PacketLength(packet, n), and keeps the packet exactly when
// MatchArtNet keeps those: byte 9 is 17 (UDP); bytes 6 and 7 hold neither
// More Fragments nor a fragment offset; with H the header length from the
// low nibble of byte 0, the count is H + 18 to H + 538 (a UDP payload of 10
// to 530 bytes, which the capture loop's 2048-byte buffer always holds
// whole); the UDP destination port at H + 2 is 6454; the payload starts with
// the Art-Net ID; and the OpCode's high byte is neither 0x21 nor 0x52. A kept
// packet is returned whole (kBpfKeepWholePacket: the receive cuts it to the
// count); a dropped one gets 0. Loads past the packet's end drop it, as they
// do in the kernel. Uses scratch word 0. Pure; any thread.
std::vector<BpfInstruction> ArtNetBpfProgram();

// An interface whose IPv4 traffic the bridge captures.
struct CapturedInterface {
  int index;
  // On the loopback interface a packet the host sends to itself passes twice,
  // once outgoing and once incoming: only the incoming copy is kept.
  bool skip_outgoing;
  // When not empty, only the packets to one of these IPv4 addresses (network
  // byte order, as a LocalAddress) are kept: on the loopback interface, the
  // host's traffic to its own addresses, not all of its traffic to itself.
  std::vector<std::uint32_t> destinations = {};
  // When not empty, an outgoing packet is kept only when it comes from one
  // of these addresses: a packet the host forwards from one captured
  // interface to another is kept where it came in, not again going out.
  std::vector<std::uint32_t> outgoing_sources = {};
};

// The whole capture program: it drops every packet that is not IPv4 on one
// of `interfaces` (and the outgoing copies, other destinations and forwarded
// packets the interfaces ask to skip), then goes on as ArtNetBpfProgram, or
// keeps every packet it let through when `art_net` is false. With no
// interfaces it drops every packet. Interfaces that share an address list
// share its instructions, and jumps that may be long are unconditional, so
// the program grows with the interfaces plus the addresses (two instructions
// each), never past the kernel's 4096 for kMaxCapturedAddresses addresses.
// Pure; any thread.
std::vector<BpfInstruction> CaptureBpfProgram(const std::vector<CapturedInterface>& interfaces,
                                              bool art_net);

// The interfaces the Linux capture takes, from every address the host holds
// (`found`, as ListAdapterAddresses lists them), those it captures
// (AddressesToCapture) and the host name's address `host`: each adapter that
// holds a captured address, keeping what goes out only from one of those
// (the host's own traffic, not what it forwards); and the loopback
// interface, where the host's traffic to itself passes, keeping what goes to
// a captured address or to `host` when that is a loopback address (Debian's
// 127.0.1.1), but not 127.0.0.1. Empty when nothing is captured. Pure; any
// thread.
std::vector<CapturedInterface> CapturedInterfacesFor(const std::vector<AdapterAddress>& found,
                                                     const std::vector<AdapterAddress>& captured,
                                                     LocalAddress host);

#endif  // ARTNET_NET_ARTNET_BPF_H_
