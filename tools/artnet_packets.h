// The Art-Net packets that the bridge's helper programs build, and the hex
// they speak on their standard streams: the simulated device's ArtPollReply,
// the benchmark's numbered ArtDmx. One place for the simulator
// (tools/device_sim.cpp), the test programs (tests/) and the benchmark's
// peer (bench/), so that all of them send the same bytes.
//
// Pure code, no operating system below it; any thread may call it.
#ifndef ARTNET_TOOLS_ARTNET_PACKETS_H_
#define ARTNET_TOOLS_ARTNET_PACKETS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "artnet/artnet.h"

// Writes the Art-Net ID and `opcode` (low byte first) into the 10 bytes at `out`.
void WriteArtNetHeader(std::uint16_t opcode, std::uint8_t* out);

// The node an ArtPollReply describes. Each text is cut to its field, less
// the zero that ends it: 17 characters, 63 and 63. A node of several ports
// sends one reply for each, told apart by `bind_index` (1 for the first)
// and naming the universe that port outputs (`port_address`, 15 bits: Net,
// Sub-Net and Universe).
struct PollReplyNode {
  std::uint8_t address[4] = {2, 0, 0, 1};  // In the order written: 2.0.0.1.
  std::string short_name;
  std::string long_name;
  std::string node_report;
  std::uint8_t bind_index = 1;
  std::uint16_t port_address = 0;
};

constexpr std::size_t kPollReplyFrameSize = kPollReplySize + 2;

// The ArtPollReply of Art-Net 4 that a device sends for one of its DMX
// outputs, described by `node`, then the CR LF that ends a frame on the
// serial link: kPollReplyFrameSize bytes.
std::vector<std::uint8_t> BuildPollReplyFrame(const PollReplyNode& node);

// An ArtDmx of 512 channels to universe 0 whose first eight channels carry
// `number` (low byte first) and the rest a pattern made from it, so that a
// packet can be checked on its own and told from its neighbours.
constexpr std::size_t kNumberedArtDmxSize = 530;
void BuildNumberedArtDmx(std::uint64_t number, std::uint8_t* out);
// True when the kNumberedArtDmxSize bytes at `packet` are exactly
// BuildNumberedArtDmx's packet for some number, which goes to `*number`.
bool ParseNumberedArtDmx(const std::uint8_t* packet, std::uint64_t* number);

// Checks that a byte stream (read in pieces of any size) is
// BuildNumberedArtDmx packets, whole, in rising order of their numbers from
// 0. Counts the packets lost on the way (gaps in the numbers), those that
// came back after a later one, and the bytes that belong to no packet.
class NumberedArtDmxCheck {
 public:
  void Feed(const std::uint8_t* bytes, std::size_t count);
  std::uint64_t packets() const { return packets_; }
  std::uint64_t lost() const { return lost_; }
  std::uint64_t out_of_order() const { return out_of_order_; }
  // Bytes held back as the start of a packet still to come count too.
  std::uint64_t stray_bytes() const { return stray_bytes_ + pending_.size(); }
  // The number the next packet should have.
  std::uint64_t next_number() const { return next_; }

 private:
  std::vector<std::uint8_t> pending_;
  std::uint64_t next_ = 0;
  std::uint64_t packets_ = 0;
  std::uint64_t lost_ = 0;
  std::uint64_t stray_bytes_ = 0;
  std::uint64_t out_of_order_ = 0;
};

// The benchmark's traced packets: each carries in its own bytes which stream
// it belongs to and when it was sent, so that the bytes a device read off its
// wire tell, with no log of what was sent, each packet's age and whether one
// was lost, cut or damaged. ArtDmx of 512 channels to `universe`; ArtPoll,
// ArtAddress and ArtTodRequest that ask a node to change nothing.
struct TracedPacket {
  std::uint16_t opcode = kOpDmx;  // kOpDmx, kOpPoll, kOpAddress or kOpTodRequest.
  std::uint8_t source = 0;        // Which of the controller's addresses sent it.
  std::uint16_t universe = 0;     // ArtDmx: its 15-bit Port-Address.
  std::uint32_t sequence = 0;     // Counts a source's packets of one OpCode.
  std::int64_t sent_ns = 0;       // ArtDmx: the sender's CLOCK_MONOTONIC at the send.
};
constexpr std::size_t kMaxTracedPacketSize = 530;
// The size of a traced packet of `opcode`: 530, 22, 107 or 56 bytes; 0 for
// any other OpCode.
std::size_t TracedPacketSize(std::uint16_t opcode);
// Writes `packet` to `out` (room for kMaxTracedPacketSize bytes) and returns
// its size; 0, writing nothing, for an OpCode TracedPacketSize does not know.
std::size_t BuildTracedPacket(const TracedPacket& packet, std::uint8_t* out);
// True when the `size` bytes at `data` are exactly what BuildTracedPacket
// makes of some packet, which goes to `*packet`; false for a packet cut
// short, run into the next or with any byte changed.
bool ParseTracedPacket(const std::uint8_t* data, std::size_t size, TracedPacket* packet);

// Lower-case hex, two digits a byte, nothing between them.
std::string Hex(const std::uint8_t* data, std::size_t size);
// Hex digits of either case, two a byte; spaces, tabs, CRs and colons between
// them are skipped. Nothing when a character is not one of those or a digit
// is left over.
std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text);

#endif  // ARTNET_TOOLS_ARTNET_PACKETS_H_
