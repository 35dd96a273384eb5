#include "net/artnet_bpf.h"

#include <cstring>
#include <utility>

#include "artnet/artnet.h"
#include "net/artnet_filter.h"

using namespace bpf;

namespace {

constexpr std::uint32_t kProtocolUdp = 17;
constexpr std::uint32_t kUdpHeaderSize = 8;
constexpr std::uint32_t kTotalLengthOffset = 2;  // In the IPv4 header, 16 bits.
constexpr std::uint32_t kSourceOffset = 12;  // In the IPv4 header, 32 bits.
constexpr std::uint32_t kDestinationOffset = 16;
// The scratch word that holds the length the Art-Net tests judge.
constexpr std::uint32_t kLengthWord = 0;

// Four bytes as a 32-bit big-endian load sees them: the ID's halves, an
// IPv4 address.
constexpr std::uint32_t BigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

// Goes to `target`, however far, when A == k; on otherwise.
void GotoIfEqual(BpfProgramBuilder& p, std::uint32_t k, BpfProgramBuilder::Label target) {
  const BpfProgramBuilder::Label other = p.NewLabel();
  p.Jump(kJmp | kJeq | kK, k, BpfProgramBuilder::kNext, other);
  p.Goto(target);
  p.Place(other);
}

// Goes on when A == k; drops the packet, however far the drop, otherwise.
void KeepIfEqualFar(BpfProgramBuilder& p, std::uint32_t k) {
  const BpfProgramBuilder::Label keep = p.NewLabel();
  p.Jump(kJmp | kJeq | kK, k, keep, BpfProgramBuilder::kNext);
  p.Goto(BpfProgramBuilder::kDrop);
  p.Place(keep);
}

void LoadAncillary(BpfProgramBuilder& p, std::uint32_t field) {
  p.Add(kLd | kW | kAbs, kAncillary + field);
}

// M[kLengthWord] = IPv4PacketLength: the packet's length, or its total-length
// field where that is smaller. A packet of fewer than 4 bytes is dropped by
// the field's load; MatchArtNet keeps none under 10.
void AddIPv4Length(BpfProgramBuilder& p) {
  p.Add(kLd | kW | kLen, 0);
  p.Add(kMisc | kTax, 0);
  p.Add(kLd | kH | kAbs, kTotalLengthOffset);
  const BpfProgramBuilder::Label smaller = p.NewLabel();
  p.Jump(kJmp | kJgt | kX, 0, BpfProgramBuilder::kNext, smaller);
  p.Add(kMisc | kTxa, 0);  // The field claims more than arrived.
  p.Place(smaller);
  p.Add(kSt, kLengthWord);
}

// MatchArtNet's tests, in its order, over the first M[kLengthWord] bytes. A
// load past the packet's end drops it; MatchArtNet never keeps such a packet,
// since each load lies inside the length the test before it has required.
// Bytes past that length (an Ethernet frame's padding) are never loaded for
// a packet that is kept, for the same reason.
void AddArtNetTests(BpfProgramBuilder& p) {
  AddIPv4Length(p);
  p.Add(kLd | kB | kAbs, 9);  // The IPv4 protocol.
  p.KeepIfEqual(kProtocolUdp);
  p.Add(kLd | kH | kAbs, kFragmentFieldOffset);  // A fragment is no datagram.
  p.DropIfAnySet(kFragmentMask);

  p.Add(kLdx | kB | kMsh, 0);  // X = header length H.
  // The UDP payload's length less 10 must lie in 0..520: length - H - 18,
  // unsigned, so a header longer than the packet wraps to a huge value.
  p.Add(kLd | kMem, kLengthWord);
  p.Add(kAlu | kSub | kX, 0);
  p.Add(kAlu | kSub | kK, kUdpHeaderSize + kMinArtNetPacket);
  p.DropIfAbove(kMaxArtNetPacket - kMinArtNetPacket);

  p.Add(kLd | kH | kInd, 2);  // The UDP destination port.
  p.KeepIfEqual(kArtNetPort);

  p.Add(kLd | kW | kInd, kUdpHeaderSize);  // "Art-"
  p.KeepIfEqual(BigEndian32(kArtNetId));
  p.Add(kLd | kW | kInd, kUdpHeaderSize + 4);  // "Net" and a zero byte.
  p.KeepIfEqual(BigEndian32(kArtNetId + 4));

  p.Add(kLd | kB | kInd, kUdpHeaderSize + kArtNetOpCodeOffset + 1);  // The OpCode's high byte.
  p.DropIfEqual(kOpPollReplyHigh);
  p.DropIfEqual(kOpSyncHigh);
}

}  // namespace

std::size_t IPv4PacketLength(const std::uint8_t* packet, std::size_t received) {
  if (received < kTotalLengthOffset + 2) return received;
  const std::size_t total = (std::size_t{packet[kTotalLengthOffset]} << 8) | packet[kTotalLengthOffset + 1];
  return total < received ? total : received;
}

BpfProgramBuilder::Label BpfProgramBuilder::NewLabel() {
  targets_.push_back(kUnplaced);
  return targets_.size() - 1;
}

void BpfProgramBuilder::Place(Label label) { targets_[label] = program_.size(); }

void BpfProgramBuilder::Add(std::uint16_t code, std::uint32_t k) { program_.push_back({code, 0, 0, k}); }

void BpfProgramBuilder::Jump(std::uint16_t code, std::uint32_t k, Label if_true, Label if_false) {
  jumps_.push_back({program_.size(), if_true, if_false});
  Add(code, k);
}

void BpfProgramBuilder::Goto(Label label) {
  // An unconditional jump counts its offset in k; both of its targets are
  // `label`, and Finish resolves k from jt.
  Jump(kJmp | kJa, 0, label, label);
}

std::vector<BpfInstruction> BpfProgramBuilder::Finish() {
  const std::size_t drop = program_.size();
  Add(kRet | kK, 0);
  std::vector<BpfInstruction> program = program_;
  for (const PendingJump& jump : jumps_) {
    std::uint8_t skip[2];
    const Label labels[2] = {jump.if_true, jump.if_false};
    for (int i = 0; i < 2; ++i) {
      // Offsets count from the instruction after the jump.
      const std::size_t target = labels[i] == kNext   ? jump.at + 1
                                 : labels[i] == kDrop ? drop
                                                      : targets_[labels[i]];
      if (target == kUnplaced || target <= jump.at) return {};
      if (program[jump.at].code == (kJmp | kJa)) {
        program[jump.at].k = static_cast<std::uint32_t>(target - jump.at - 1);
        break;
      }
      if (target - jump.at - 1 > 255) return {};
      skip[i] = static_cast<std::uint8_t>(target - jump.at - 1);
    }
    BpfInstruction& instruction = program[jump.at];
    if (instruction.code != (kJmp | kJa)) {
      instruction.jt = skip[0];
      instruction.jf = skip[1];
    }
  }
  return program;
}

std::vector<BpfInstruction> ArtNetBpfProgram() {
  BpfProgramBuilder p;
  AddArtNetTests(p);
  p.Add(kRet | kK, kBpfKeepWholePacket);
  return p.Finish();
}

std::vector<BpfInstruction> CaptureBpfProgram(const std::vector<CapturedInterface>& interfaces,
                                              bool art_net) {
  BpfProgramBuilder p;
  // The program's tests jump to the drop at its end from anywhere, and a
  // conditional jump goes 255 instructions at most: they jump by an
  // unconditional one.
  LoadAncillary(p, kAncillaryProtocol);
  KeepIfEqualFar(p, kEtherTypeIPv4);
  // Two instructions per interface, each leading to a block of its own; a
  // packet on none of them falls through to the drop.
  LoadAncillary(p, kAncillaryInterface);
  std::vector<BpfProgramBuilder::Label> blocks;
  for (const CapturedInterface& interface : interfaces) {
    blocks.push_back(p.NewLabel());
    GotoIfEqual(p, static_cast<std::uint32_t>(interface.index), blocks.back());
  }
  p.Goto(BpfProgramBuilder::kDrop);

  // The address lists, each written once after the blocks: A holds the
  // address to look up when a block goes to one.
  const BpfProgramBuilder::Label accepted = p.NewLabel();
  std::vector<std::pair<const std::vector<std::uint32_t>*, BpfProgramBuilder::Label>> lists;
  auto list_label = [&](const std::vector<std::uint32_t>& addresses) {
    for (const auto& [known, label] : lists) {
      if (*known == addresses) return label;
    }
    lists.emplace_back(&addresses, p.NewLabel());
    return lists.back().second;
  };

  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const CapturedInterface& interface = interfaces[i];
    p.Place(blocks[i]);
    if (interface.skip_outgoing) {
      LoadAncillary(p, kAncillaryPacketType);
      GotoIfEqual(p, kPacketOutgoing, BpfProgramBuilder::kDrop);
    } else if (!interface.outgoing_sources.empty()) {
      // Going out, its source must be one of the host's; coming in, it goes
      // on to the destinations.
      LoadAncillary(p, kAncillaryPacketType);
      const BpfProgramBuilder::Label incoming = p.NewLabel();
      p.Jump(kJmp | kJeq | kK, kPacketOutgoing, BpfProgramBuilder::kNext, incoming);
      p.Add(kLd | kW | kAbs, kSourceOffset);
      p.Goto(list_label(interface.outgoing_sources));
      p.Place(incoming);
    }
    if (!interface.destinations.empty()) {
      p.Add(kLd | kW | kAbs, kDestinationOffset);
      p.Goto(list_label(interface.destinations));
    } else {
      p.Goto(accepted);
    }
  }

  for (const auto& [addresses, label] : lists) {
    p.Place(label);
    for (const std::uint32_t address : *addresses) {
      std::uint8_t bytes[4];
      std::memcpy(bytes, &address, sizeof bytes);
      GotoIfEqual(p, BigEndian32(bytes), accepted);
    }
    p.Goto(BpfProgramBuilder::kDrop);
  }

  p.Place(accepted);
  if (art_net) AddArtNetTests(p);
  p.Add(kRet | kK, kBpfKeepWholePacket);
  return p.Finish();
}

std::vector<CapturedInterface> CapturedInterfacesFor(const std::vector<AdapterAddress>& found,
                                                     const std::vector<AdapterAddress>& captured,
                                                     LocalAddress host) {
  std::vector<std::uint32_t> own;
  for (const AdapterAddress& entry : captured) own.push_back(entry.address);
  std::vector<CapturedInterface> interfaces;
  for (const AdapterAddress& entry : captured) {
    bool listed = false;
    for (const CapturedInterface& interface : interfaces) listed = listed || interface.index == entry.interface_index;
    if (!listed) interfaces.push_back({entry.interface_index, false, {}, own});
  }
  std::vector<std::uint32_t> to_itself = own;
  if (IsLoopbackAddress(host)) to_itself.push_back(host);
  if (to_itself.empty()) return interfaces;
  for (const AdapterAddress& entry : found) {
    if (entry.loopback) {
      interfaces.push_back({entry.interface_index, true, to_itself});
      break;
    }
  }
  return interfaces;
}
