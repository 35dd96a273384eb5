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

// One port an ArtPollReply describes: a DMX output (from Art-Net to the
// wire) or a DMX input, and its 15-bit Port-Address (Net, Sub-Net and
// Universe). The ports of one reply share Net and Sub-Net, which the reply
// carries once; each keeps only its Universe nibble (SwOut or SwIn).
struct PollReplyPort {
  bool output = true;
  std::uint16_t port_address = 0;
};

// The node an ArtPollReply describes. Each text is cut to its field, less
// the zero that ends it: 17 characters, 63 and 63. A node of many ports
// sends one reply for each page of up to four, told apart by `bind_index`
// (1 for the first); a reply may describe no port at all.
struct PollReplyNode {
  std::uint8_t address[4] = {2, 0, 0, 1};  // In the order written: 2.0.0.1.
  std::string short_name;
  std::string long_name;
  std::string node_report;
  std::uint8_t bind_index = 1;
  // At most four; Net and Sub-Net are the first port's.
  std::vector<PollReplyPort> ports = {PollReplyPort{}};
};

constexpr std::size_t kPollReplyFrameSize = kPollReplySize + 2;

// The ArtPollReply of Art-Net 4 that a device sends for one page of its
// ports, described by `node`, then the CR LF that ends a frame on the
// serial link: kPollReplyFrameSize bytes.
std::vector<std::uint8_t> BuildPollReplyFrame(const PollReplyNode& node);

// The pages of a node whose ports are `outputs` and then `inputs`
// (Port-Addresses, in that order), `node` giving everything but the ports
// and the BindIndex: up to `ports_per_page` ports a page (1 to 4), a new
// page wherever a port's Net or Sub-Net differs from its page's first, and
// at least `pages` pages (those past the ports describe none). BindIndex
// counts from 1.
std::vector<PollReplyNode> PollReplyPages(const PollReplyNode& node, const std::vector<std::uint16_t>& outputs,
                                          const std::vector<std::uint16_t>& inputs, std::size_t ports_per_page,
                                          std::size_t pages = 1);

// Port-Addresses written as "0-3,8,10-11": numbers from 0 to 32767 and
// ranges of them, separated by commas, in the order given. Nothing for
// anything else (an empty list, a range that runs backwards, a number too
// large).
std::optional<std::vector<std::uint16_t>> ParsePortAddresses(const std::string& text);

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
// ArtAddress and ArtTodRequest that ask a node to change nothing. An ArtDmx
// with `sequence` and `sent_ns` both 0 carries the same data every time: a
// universe that a controller keeps sending unchanged.
struct TracedPacket {
  std::uint16_t opcode = kOpDmx;  // kOpDmx, kOpPoll, kOpAddress or kOpTodRequest.
  std::uint8_t source = 0;        // Which of the controller's addresses sent it.
  std::uint16_t universe = 0;     // ArtDmx: its 15-bit Port-Address.
  std::uint32_t sequence = 0;     // Counts a source's packets of one OpCode.
  std::int64_t sent_ns = 0;       // ArtDmx: the sender's CLOCK_MONOTONIC at the send.
  // ArtDmx: Art-Net's own Sequence byte (0: off). Outside the data, so
  // that a universe whose data stays the same can still count its packets.
  std::uint8_t art_sequence = 0;
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
// short, run into the next or with any byte changed (but an ArtDmx's
// Sequence, which is read as it is).
bool ParseTracedPacket(const std::uint8_t* data, std::size_t size, TracedPacket* packet);

// Lower-case hex, two digits a byte, nothing between them.
std::string Hex(const std::uint8_t* data, std::size_t size);
// Hex digits of either case, two a byte; spaces, tabs, CRs and colons between
// them are skipped. Nothing when a character is not one of those or a digit
// is left over.
std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text);

#endif  // ARTNET_TOOLS_ARTNET_PACKETS_H_
