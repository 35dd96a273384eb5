#include "net/artnet_bpf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "net/adapters.h"
#include "net/artnet_filter.h"

namespace {

using namespace bpf;

// What the kernel knows of a packet besides its bytes (the ancillary loads).
struct PacketFacts {
  std::uint32_t protocol = kEtherTypeIPv4;
  std::uint32_t packet_type = 0;  // PACKET_HOST
  std::uint32_t interface = 1;
};

// A classic BPF interpreter for the instructions the capture programs use,
// with the kernel's rules: registers are 32 bits, loads are big-endian, a
// load that reaches past the packet's end ends the program with 0 (drop), and
// scratch memory must be stored before it is read (the kernel's checker
// refuses a program that may read it unset). An instruction it does not know
// fails the test.
std::uint32_t RunFilter(const std::vector<BpfInstruction>& program, const std::uint8_t* packet,
                        std::uint32_t length, const PacketFacts& facts = {}) {
  std::uint32_t a = 0;
  std::uint32_t x = 0;
  std::uint32_t memory[16] = {};
  bool stored[16] = {};
  auto load = [&](std::uint32_t at, std::uint32_t size, std::uint32_t* out) {
    if (at > length || size > length - at) return false;
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < size; ++i) value = (value << 8) | packet[at + i];
    *out = value;
    return true;
  };
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    const BpfInstruction& in = program[pc];
    const std::uint32_t size = (in.code & 0x18) == kB ? 1 : (in.code & 0x18) == kH ? 2 : 4;
    switch (in.code) {
      case kLd | kW | kAbs:
        if (in.k >= kAncillary) {
          const std::uint32_t field = in.k - kAncillary;
          if (field == kAncillaryProtocol) {
            a = facts.protocol;
          } else if (field == kAncillaryPacketType) {
            a = facts.packet_type;
          } else if (field == kAncillaryInterface) {
            a = facts.interface;
          } else {
            ADD_FAILURE() << "instruction " << pc << " loads an unknown fact " << field;
            return 0;
          }
          break;
        }
        if (!load(in.k, size, &a)) return 0;
        break;
      case kLd | kH | kAbs:
      case kLd | kB | kAbs:
        if (!load(in.k, size, &a)) return 0;
        break;
      case kLd | kW | kInd:
      case kLd | kH | kInd:
      case kLd | kB | kInd:
        if (!load(x + in.k, size, &a)) return 0;
        break;
      case kLd | kW | kLen:
        a = length;
        break;
      case kLd | kMem:
        if (in.k >= 16 || !stored[in.k]) {
          ADD_FAILURE() << "instruction " << pc << " reads scratch word " << in.k << " unset";
          return 0;
        }
        a = memory[in.k];
        break;
      case kSt:
        if (in.k >= 16) {
          ADD_FAILURE() << "instruction " << pc << " stores to scratch word " << in.k;
          return 0;
        }
        memory[in.k] = a;
        stored[in.k] = true;
        break;
      case kMisc | kTax:
        x = a;
        break;
      case kMisc | kTxa:
        a = x;
        break;
      case kLdx | kB | kMsh:
        if (!load(in.k, 1, &x)) return 0;
        x = (x & 0x0F) * 4;
        break;
      case kAlu | kSub | kK:
        a -= in.k;
        break;
      case kAlu | kSub | kX:
        a -= x;
        break;
      case kJmp | kJa:
        pc += in.k;
        break;
      case kJmp | kJeq | kK:
        pc += a == in.k ? in.jt : in.jf;
        break;
      case kJmp | kJgt | kK:
        pc += a > in.k ? in.jt : in.jf;
        break;
      case kJmp | kJgt | kX:
        pc += a > x ? in.jt : in.jf;
        break;
      case kJmp | kJset | kK:
        pc += (a & in.k) != 0 ? in.jt : in.jf;
        break;
      case kRet | kK:
        return in.k;
      default:
        ADD_FAILURE() << "instruction " << pc << " has an unknown code " << in.code;
        return 0;
    }
  }
  ADD_FAILURE() << "the program ran off its end";
  return 0;
}

// Runs the filter over the first `count` bytes of `packet`, and MatchArtNet
// over the IPv4 packet in them, as the Linux receive hands it over, and
// checks that they agree, and that a kept packet is kept whole.
void ExpectSameDecision(const std::vector<BpfInstruction>& program, const std::uint8_t* packet,
                        std::size_t count, int* kept = nullptr) {
  const std::uint32_t verdict = RunFilter(program, packet, static_cast<std::uint32_t>(count));
  const bool matched = MatchArtNet(packet, IPv4PacketLength(packet, count)).has_value();
  if (matched) {
    EXPECT_GE(verdict, count) << "a kept packet of " << count << " bytes is cut, header byte "
                              << int{packet[0]};
    if (kept != nullptr) ++*kept;
  } else {
    EXPECT_EQ(verdict, 0u) << "the kernel would wake the bridge for a packet it drops: "
                           << count << " bytes, header byte " << int{packet[0]};
  }
}

// Lays an Art-Net packet of `size` bytes for header length nibble `nibble`
// into `packet`, field after field, so that where a short header makes the
// fields overlap the later one wins. The total length is `size`; no fragment;
// OpCode 0x5000 (OpDmx).
void LayArtNet(std::uint8_t* packet, std::size_t size, int nibble) {
  const std::size_t h = static_cast<std::size_t>(nibble) * 4;
  auto put = [&](std::size_t at, std::uint8_t value) {
    if (at < size) packet[at] = value;
  };
  put(0, static_cast<std::uint8_t>(0x40 | nibble));
  put(2, static_cast<std::uint8_t>(size >> 8));
  put(3, static_cast<std::uint8_t>(size));
  put(6, 0);
  put(7, 0);
  put(9, 17);
  put(h + 2, 0x19);
  put(h + 3, 0x36);
  for (std::size_t i = 0; i < 8; ++i) put(h + 8 + i, static_cast<std::uint8_t>("Art-Net"[i]));
  put(h + 16, 0x00);
  put(h + 17, 0x50);
}

// An IPv4 address as the bridge holds it (network byte order).
std::uint32_t Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Every jump lands inside the program and the last instruction returns, as
// the kernel's checker requires.
void ExpectValidKernelProgram(const std::vector<BpfInstruction>& program) {
  ASSERT_FALSE(program.empty());
  ASSERT_LE(program.size(), 4096u);  // BPF_MAXINSNS
  EXPECT_EQ(program.back().code, kRet | kK);
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    if (program[pc].code == (kJmp | kJa)) {
      EXPECT_LT(pc + 1 + program[pc].k, program.size()) << "jump at " << pc;
    } else if ((program[pc].code & 0x07) == kJmp) {
      EXPECT_LT(pc + 1 + program[pc].jt, program.size()) << "jump at " << pc;
      EXPECT_LT(pc + 1 + program[pc].jf, program.size()) << "jump at " << pc;
    }
  }
}

TEST(ArtNetBpf, IsAValidKernelProgram) {
  ExpectValidKernelProgram(ArtNetBpfProgram());
  ExpectValidKernelProgram(CaptureBpfProgram({{2, false}}, true));
  ExpectValidKernelProgram(CaptureBpfProgram({{1, true}, {7, false}, {9, true}}, false));
  ExpectValidKernelProgram(CaptureBpfProgram({{1, true, {0x0100A8C0}}, {7, false}}, true));
}

// The interface part: IPv4 on a captured interface only, the outgoing copy
// skipped and other destinations dropped where asked, and behind it the same
// decisions as MatchArtNet. Interface 1 plays lo beside the network's
// interface 7, as for a host name that resolves to 10.77.0.1; interface 9
// plays lo where the host name resolves to a loopback address, every
// destination taken.
TEST(ArtNetBpf, CaptureProgramPicksInterfacesThenArtNet) {
  const std::uint8_t host[4] = {10, 77, 0, 1};
  std::uint32_t host_address;  // Network byte order, as a LocalAddress.
  std::memcpy(&host_address, host, sizeof host_address);
  std::vector<std::uint8_t> to_host(20 + 8 + 14, 0);
  LayArtNet(to_host.data(), to_host.size(), 5);
  std::memcpy(&to_host[16], host, 4);
  std::vector<std::uint8_t> to_other = to_host;
  to_other[19] = 2;  // 10.77.0.2: another address of the host.
  std::vector<std::uint8_t> to_loopback = to_host;
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&to_loopback[16], loopback, 4);
  const auto size = static_cast<std::uint32_t>(to_host.size());
  const std::vector<CapturedInterface> interfaces = {{1, true, {host_address}}, {7, false}, {9, true}};
  const auto both = CaptureBpfProgram(interfaces, true);
  const auto any = CaptureBpfProgram(interfaces, false);
  const std::uint32_t outgoing = kPacketOutgoing;
  const struct {
    PacketFacts facts;
    bool to_host, to_other;  // Captured, by destination.
  } cases[] = {
      {{kEtherTypeIPv4, 0, 1}, true, false},          // lo, coming in
      {{kEtherTypeIPv4, outgoing, 1}, false, false},  // lo, going out: the other copy
      {{kEtherTypeIPv4, 0, 7}, true, true},
      {{kEtherTypeIPv4, outgoing, 7}, true, true},  // the host's own packets on the network
      {{kEtherTypeIPv4, 0, 9}, true, true},
      {{kEtherTypeIPv4, outgoing, 9}, false, false},
      {{kEtherTypeIPv4, 0, 3}, false, false},  // another interface
      {{0x86DD, 0, 7}, false, false},          // IPv6
  };
  for (const auto& c : cases) {
    const std::string where = "interface " + std::to_string(c.facts.interface) + ", type " +
                              std::to_string(c.facts.packet_type) + ", protocol " +
                              std::to_string(c.facts.protocol);
    for (const auto& [packet, captured, name] :
         {std::tuple{&to_host, c.to_host, "to the host"}, std::tuple{&to_other, c.to_other, "to 10.77.0.2"},
          std::tuple{&to_loopback, c.to_other, "to 127.0.0.1"}}) {
      EXPECT_EQ(RunFilter(both, packet->data(), size, c.facts) != 0, captured) << where << ", " << name;
      EXPECT_EQ(RunFilter(any, packet->data(), size, c.facts) != 0, captured) << where << ", " << name;
      std::vector<std::uint8_t> tcp = *packet;
      tcp[9] = 6;
      EXPECT_EQ(RunFilter(both, tcp.data(), size, c.facts), 0u) << where << ", TCP " << name;
      EXPECT_EQ(RunFilter(any, tcp.data(), size, c.facts) != 0, captured) << where << ", TCP " << name;
    }
  }
  // With no interface (the host's address held by none) nothing passes.
  for (const auto& program : {CaptureBpfProgram({}, true), CaptureBpfProgram({}, false)}) {
    ExpectValidKernelProgram(program);
    EXPECT_EQ(RunFilter(program, to_host.data(), size, {kEtherTypeIPv4, 0, 1}), 0u);
    EXPECT_EQ(RunFilter(program, to_host.data(), size, {kEtherTypeIPv4, 0, 7}), 0u);
  }
}

// Every adapter captured: lo (1) keeps what goes to any of the host's
// addresses; the adapters (7, 8) keep what comes in, and what goes out from
// one of the host's addresses, not what the host forwards from one to the
// other. The interfaces share the address list's instructions.
TEST(ArtNetBpf, CaptureProgramKeepsTheHostsOwnTrafficOnceOnEveryAdapter) {
  const std::vector<std::uint32_t> own = {Address(10, 77, 0, 1), Address(2, 0, 0, 1), Address(2, 0, 0, 2)};
  const std::vector<CapturedInterface> interfaces = {
      {1, true, own}, {7, false, {}, own}, {8, false, {}, own}};
  const auto program = CaptureBpfProgram(interfaces, true);
  ExpectValidKernelProgram(program);
  auto packet = [](std::uint32_t source, std::uint32_t destination) {
    std::vector<std::uint8_t> bytes(20 + 8 + 14, 0);
    LayArtNet(bytes.data(), bytes.size(), 5);
    std::memcpy(&bytes[12], &source, 4);
    std::memcpy(&bytes[16], &destination, 4);
    return bytes;
  };
  const std::uint32_t console = Address(2, 0, 0, 50), office = Address(192, 168, 1, 7);
  const std::uint32_t outgoing = kPacketOutgoing;
  const struct {
    const char* what;
    std::uint32_t source, destination;
    PacketFacts facts;
    bool kept;
  } cases[] = {
      {"to the host's first address, over lo", console, own[0], {kEtherTypeIPv4, 0, 1}, true},
      {"to its third address, over lo", own[0], own[2], {kEtherTypeIPv4, 0, 1}, true},
      {"lo's outgoing copy", own[0], own[2], {kEtherTypeIPv4, outgoing, 1}, false},
      {"to 127.0.0.1", Address(127, 0, 0, 1), Address(127, 0, 0, 1), {kEtherTypeIPv4, 0, 1}, false},
      {"a console's, coming in", console, Address(2, 255, 255, 255), {kEtherTypeIPv4, 0, 8}, true},
      {"to another host, coming in", console, office, {kEtherTypeIPv4, 0, 7}, true},
      {"the host's, going out", own[1], Address(2, 255, 255, 255), {kEtherTypeIPv4, outgoing, 8}, true},
      {"the host's second address, going out", own[2], console, {kEtherTypeIPv4, outgoing, 7}, true},
      {"forwarded, going out", console, office, {kEtherTypeIPv4, outgoing, 7}, false},
      {"another interface", own[1], console, {kEtherTypeIPv4, 0, 9}, false},
  };
  for (const auto& c : cases) {
    const auto bytes = packet(c.source, c.destination);
    EXPECT_EQ(RunFilter(program, bytes.data(), static_cast<std::uint32_t>(bytes.size()), c.facts) != 0,
              c.kept)
        << c.what;
  }

  // The largest list the bridge builds, on as many interfaces, fits.
  std::vector<std::uint32_t> many;
  std::vector<CapturedInterface> all = {{1, true, {}}};
  for (std::uint32_t i = 0; i < kMaxCapturedAddresses; ++i) {
    many.push_back(Address(10, 0, static_cast<std::uint8_t>(i), 1));
  }
  all[0].destinations = many;
  for (int i = 0; i < static_cast<int>(kMaxCapturedAddresses); ++i) all.push_back({i + 2, false, {}, many});
  const auto largest = CaptureBpfProgram(all, true);
  ExpectValidKernelProgram(largest);
  const auto last = packet(console, many.back());
  EXPECT_NE(RunFilter(largest, last.data(), static_cast<std::uint32_t>(last.size()), {kEtherTypeIPv4, 0, 1}), 0u);
  const auto forwarded = packet(console, office);
  EXPECT_EQ(RunFilter(largest, forwarded.data(), static_cast<std::uint32_t>(forwarded.size()),
                      {kEtherTypeIPv4, outgoing, 64}),
            0u);
  EXPECT_NE(RunFilter(largest, forwarded.data(), static_cast<std::uint32_t>(forwarded.size()),
                      {kEtherTypeIPv4, 0, 64}),
            0u);
}

// What the Linux capture takes, for a host with lo (1), an office adapter
// (2), a lighting adapter with two addresses (3) and one that is down (4).
TEST(ArtNetBpf, CapturedInterfacesAreTheAdaptersAndTheHostsTrafficToItself) {
  const std::vector<AdapterAddress> found = {
      {1, Address(127, 0, 0, 1), 8, true, true},      {2, Address(192, 168, 1, 20), 24, true, false},
      {3, Address(2, 0, 0, 1), 8, true, false},       {3, Address(2, 0, 0, 2), 8, true, false},
      {4, Address(10, 5, 0, 9), 16, false, false},
  };
  const std::vector<AdapterAddress> captured = AddressesToCapture(found);
  const std::vector<std::uint32_t> own = {Address(192, 168, 1, 20), Address(2, 0, 0, 1), Address(2, 0, 0, 2)};

  auto interfaces = CapturedInterfacesFor(found, captured, Address(192, 168, 1, 20));
  ASSERT_EQ(interfaces.size(), 3u);
  EXPECT_EQ(interfaces[0].index, 2);
  EXPECT_EQ(interfaces[1].index, 3);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(interfaces[i].skip_outgoing);
    EXPECT_TRUE(interfaces[i].destinations.empty());
    EXPECT_EQ(interfaces[i].outgoing_sources, own);
  }
  EXPECT_EQ(interfaces[2].index, 1);
  EXPECT_TRUE(interfaces[2].skip_outgoing);
  EXPECT_EQ(interfaces[2].destinations, own) << "not 127.0.0.1";

  // Debian's 127.0.1.1 for the host name: taken on lo as well.
  interfaces = CapturedInterfacesFor(found, captured, Address(127, 0, 1, 1));
  ASSERT_EQ(interfaces.size(), 3u);
  std::vector<std::uint32_t> to_itself = own;
  to_itself.push_back(Address(127, 0, 1, 1));
  EXPECT_EQ(interfaces[2].destinations, to_itself);
  // With no adapter but lo, lo alone for the loopback name; else nothing.
  interfaces = CapturedInterfacesFor({found[0]}, {}, Address(127, 0, 1, 1));
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].destinations, std::vector<std::uint32_t>{Address(127, 0, 1, 1)});
  EXPECT_TRUE(CapturedInterfacesFor({found[0]}, {}, Address(192, 168, 1, 20)).empty());
}

// The IPv4 packet is what its total length says, never more than arrived.
TEST(ArtNetBpf, IPv4PacketLengthIsTheSmallerOfFieldAndReceived) {
  const std::uint8_t header[6] = {0x45, 0x00, 0x00, 0x2A, 0xFF, 0xFF};  // Total length 42.
  EXPECT_EQ(IPv4PacketLength(header, 46), 42u);  // A 60-byte Ethernet frame's payload.
  EXPECT_EQ(IPv4PacketLength(header, 42), 42u);
  EXPECT_EQ(IPv4PacketLength(header, 30), 30u);  // Cut short: what arrived.
  EXPECT_EQ(IPv4PacketLength(header, 4), 4u);
  EXPECT_EQ(IPv4PacketLength(header, 3), 3u);  // No field to read.
  EXPECT_EQ(IPv4PacketLength(header, 0), 0u);
  const std::uint8_t big[4] = {0x45, 0x00, 0x05, 0xDC};  // 1500, high byte first.
  EXPECT_EQ(IPv4PacketLength(big, 2048), 1500u);
  const std::uint8_t zero[4] = {0x45, 0x00, 0x00, 0x00};  // As offload super-packets may say.
  EXPECT_EQ(IPv4PacketLength(zero, 2048), 0u);
}

// Frames padded after the IPv4 packet, as Ethernet pads short ones to 60
// bytes (46 after the link header) and some links pad further: the program
// judges the packet, not the frame, for every packet length around the
// payload bounds, zero and non-zero padding, and a field that claims more
// than arrived.
TEST(ArtNetBpf, JudgesThePacketNotItsPadding) {
  const auto program = ArtNetBpfProgram();
  for (int nibble : {5, 6, 15}) {
    const std::size_t h = static_cast<std::size_t>(nibble) * 4;
    for (std::size_t total = 0; total <= h + 8 + 540; ++total) {
      for (std::size_t padding : {0u, 1u, 4u, 46u, 600u}) {
        for (std::uint8_t fill : {0x00, 0x41}) {
          std::vector<std::uint8_t> frame(std::max<std::size_t>(total + padding, 4), fill);
          std::fill(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(total), 0);
          LayArtNet(frame.data(), total, nibble);
          frame[2] = static_cast<std::uint8_t>(total >> 8);
          frame[3] = static_cast<std::uint8_t>(total);
          const std::size_t payload = total >= h + 8 ? total - h - 8 : 0;
          const bool keep = total >= h + 8 && payload >= 10 && payload <= 530;
          const auto size = static_cast<std::uint32_t>(total + padding);
          EXPECT_EQ(RunFilter(program, frame.data(), size) != 0, keep && size >= 4)
              << "header " << h << ", packet " << total << ", padding " << padding;
          ExpectSameDecision(program, frame.data(), size);
          if (HasFailure()) return;
        }
      }
    }
    // A total length beyond what arrived, and beyond the bounds: what
    // arrived is judged.
    std::vector<std::uint8_t> cut(h + 8 + 20, 0);
    LayArtNet(cut.data(), cut.size(), nibble);
    cut[2] = 0x03;  // 768 bytes claimed.
    cut[3] = 0x00;
    EXPECT_NE(RunFilter(program, cut.data(), static_cast<std::uint32_t>(cut.size())), 0u);
    ExpectSameDecision(program, cut.data(), cut.size());
  }
}

// Jumps are resolved from labels; one too long for an instruction, or to a
// label never placed, gives no program rather than a wrong one.
TEST(ArtNetBpf, BuilderRefusesJumpsItCannotEncode) {
  // A conditional jump holds its offsets in a byte each.
  BpfProgramBuilder too_far;
  too_far.DropIfEqual(1);
  for (int i = 0; i < 256; ++i) too_far.Add(kLd | kW | kLen, 0);
  EXPECT_TRUE(too_far.Finish().empty());

  BpfProgramBuilder unplaced;
  unplaced.Goto(unplaced.NewLabel());
  EXPECT_TRUE(unplaced.Finish().empty());

  BpfProgramBuilder fits;
  fits.DropIfEqual(1);
  for (int i = 0; i < 255; ++i) fits.Add(kLd | kW | kLen, 0);
  const auto program = fits.Finish();
  ASSERT_EQ(program.size(), 257u);
  EXPECT_EQ(program[0].jt, 255u);
  EXPECT_EQ(program[0].jf, 0u);

  // An unconditional one holds its offset in 32 bits.
  BpfProgramBuilder far;
  far.Goto(BpfProgramBuilder::kDrop);
  for (int i = 0; i < 1000; ++i) far.Add(kLd | kW | kLen, 0);
  const auto long_jump = far.Finish();
  ASSERT_EQ(long_jump.size(), 1002u);
  EXPECT_EQ(long_jump[0].k, 1000u);
}

// Every header length (nibbles 0 to 15, so headers shorter than 20 bytes whose
// UDP fields overlap the IPv4 ones too), every count from 0 to 2048.
TEST(ArtNetBpf, AgreesWithMatchArtNetAtEveryLengthAndHeaderLength) {
  const auto program = ArtNetBpfProgram();
  int kept = 0;
  for (int nibble = 0; nibble < 16; ++nibble) {
    std::array<std::uint8_t, 2048> packet{};
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 13);
    LayArtNet(packet.data(), packet.size(), nibble);
    for (std::size_t count = 0; count <= packet.size(); ++count) {
      ExpectSameDecision(program, packet.data(), count, &kept);
      if (HasFailure()) return;
    }
  }
  // With nibble 0 the ID would overlap byte 9, and with nibble 1 the UDP
  // destination port 6454 is bytes 6 and 7, which make a fragment, so nothing
  // matches; every other nibble keeps the 521 lengths from 10 to 530 payload
  // bytes.
  EXPECT_EQ(kept, 521 * 14);
}

TEST(ArtNetBpf, KeepsAndDropsAtTheBounds) {
  const auto program = ArtNetBpfProgram();
  for (int nibble : {5, 6, 15}) {  // Headers of 20, 24 and 60 bytes.
    const std::size_t h = static_cast<std::size_t>(nibble) * 4;
    for (std::size_t payload : {9u, 10u, 530u, 531u}) {
      std::vector<std::uint8_t> packet(h + 8 + payload, 0xAB);
      LayArtNet(packet.data(), packet.size(), nibble);
      const bool should_keep = payload == 10 || payload == 530;
      EXPECT_EQ(RunFilter(program, packet.data(), static_cast<std::uint32_t>(packet.size())) != 0,
                should_keep)
          << "header " << h << ", payload " << payload;
      ExpectSameDecision(program, packet.data(), packet.size());
    }
  }
}

// A kept packet with one of the bytes the filter looks at changed: each
// change must flip both decisions the same way.
TEST(ArtNetBpf, AgreesWhenAnyTestedByteChanges) {
  const auto program = ArtNetBpfProgram();
  for (int nibble : {3, 5, 6, 15}) {
    const std::size_t h = static_cast<std::size_t>(nibble) * 4;
    for (std::size_t payload : {10u, 14u, 530u}) {
      std::vector<std::uint8_t> base(h + 8 + payload, 0);
      LayArtNet(base.data(), base.size(), nibble);
      std::vector<std::size_t> tested = {0, 2, 3, 6, 7, 9, h + 2, h + 3};
      for (std::size_t i = 8; i < 18; ++i) tested.push_back(h + i);
      for (std::size_t at : tested) {
        for (std::uint8_t value : {0x00, 0x01, 0x05, 0x06, 0x11, 0x19, 0x20, 0x21, 0x36, 0x40, 0x45,
                                   0x46, 0x52, 0x80, 0xFF}) {
          auto packet = base;
          packet[at] = value;
          ExpectSameDecision(program, packet.data(), packet.size());
        }
      }
    }
  }
}

// Every value of the flags and fragment offset (bytes 6 and 7), on Art-Net
// packets at the payload bounds: kept exactly when neither More Fragments
// nor an offset is set, by both.
TEST(ArtNetBpf, DropsFragmentsAsMatchArtNetDoes) {
  const auto program = ArtNetBpfProgram();
  for (int nibble : {5, 6, 15}) {
    const std::size_t h = static_cast<std::size_t>(nibble) * 4;
    for (std::size_t payload : {10u, 118u, 530u}) {
      std::vector<std::uint8_t> packet(h + 8 + payload, 0x5A);
      LayArtNet(packet.data(), packet.size(), nibble);
      for (unsigned field = 0; field <= 0xFFFF; ++field) {
        packet[6] = static_cast<std::uint8_t>(field >> 8);
        packet[7] = static_cast<std::uint8_t>(field);
        const bool whole = (field & 0x3FFF) == 0;
        EXPECT_EQ(RunFilter(program, packet.data(), static_cast<std::uint32_t>(packet.size())) != 0, whole)
            << "header " << h << ", payload " << payload << ", field " << field;
        ExpectSameDecision(program, packet.data(), packet.size());
        if (HasFailure()) return;
      }
    }
  }
}

// Random packets: mostly Art-Net-shaped, with random lengths, header lengths
// and a few random bytes changed, so that both decisions are well exercised.
TEST(ArtNetBpf, AgreesWithMatchArtNetOnRandomPackets) {
  const auto program = ArtNetBpfProgram();
  std::mt19937 random(6454);
  std::array<std::uint8_t, 2048> packet{};
  int kept = 0;
  constexpr int kPackets = 200000;
  for (int n = 0; n < kPackets; ++n) {
    const int nibble = static_cast<int>(random() % 16);
    const std::size_t h = static_cast<std::size_t>(nibble) * 4;
    std::size_t count = 0;
    switch (random() % 3) {
      case 0: count = random() % 2049; break;            // Anything.
      case 1: count = h + 8 + random() % 540; break;     // Around the payload bounds.
      default: count = h + 8 + 8 + random() % 4; break;  // Around 10 bytes.
    }
    if (count > packet.size()) count = packet.size();
    for (std::size_t i = 0; i < count; ++i) packet[i] = static_cast<std::uint8_t>(random());
    if (random() % 8 != 0) LayArtNet(packet.data(), count, nibble);
    if (count >= 4 && random() % 2 == 0) {  // Padded: the field says less.
      const std::size_t total = count - std::min<std::size_t>(count, random() % 64);
      packet[2] = static_cast<std::uint8_t>(total >> 8);
      packet[3] = static_cast<std::uint8_t>(total);
    }
    for (unsigned changes = random() % 3; changes > 0 && count > 0; --changes) {
      packet[random() % count] = static_cast<std::uint8_t>(random());
    }
    ExpectSameDecision(program, packet.data(), count, &kept);
    if (HasFailure()) break;
  }
  EXPECT_GT(kept, kPackets / 10);
  EXPECT_LT(kept, kPackets * 9 / 10);
}

}  // namespace
