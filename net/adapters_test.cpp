#include "net/adapters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An address as the bridge holds it (network byte order) from its text.
LocalAddress A(const char* text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                 static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)};
  LocalAddress address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

AdapterAddress On(int index, const char* address, int prefix, bool up = true, bool loopback = false) {
  return {index, A(address), prefix, up, loopback};
}

std::string Text(const std::vector<AdapterAddress>& addresses) { return FormatAddresses(addresses); }

// A lighting PC: loopback, an office adapter (the default route), a lighting
// adapter with two addresses, a Wi-Fi adapter that is down, a VPN adapter
// that holds the office address too, and an adapter still without one.
TEST(Adapters, EveryUpAdapterIsCapturedButLoopback) {
  const std::vector<AdapterAddress> found = {
      On(1, "127.0.0.1", 8, true, true),  On(2, "192.168.1.20", 24), On(3, "2.0.0.1", 8),
      On(3, "2.0.0.2", 8),                On(4, "10.5.0.9", 16, false), On(5, "192.168.1.20", 24),
      On(6, "0.0.0.0", 0),                On(7, "127.0.1.1", 8),  // a 127 address elsewhere
  };
  EXPECT_EQ(Text(AddressesToCapture(found)), "192.168.1.20 2.0.0.1 2.0.0.2");
  EXPECT_EQ(AddressesToCapture(found)[0].interface_index, 2) << "the first adapter holding it";
  EXPECT_TRUE(AddressesToCapture({}).empty());

  std::vector<AdapterAddress> many;
  for (int i = 0; i < 100; ++i) many.push_back(On(2, ("10.0.0." + std::to_string(i + 1)).c_str(), 24));
  const auto captured = AddressesToCapture(many);
  ASSERT_EQ(captured.size(), kMaxCapturedAddresses);
  EXPECT_EQ(FormatAddress(captured.back().address), "10.0.0.63");
}

TEST(Adapters, TheHostNameMustResolveToALoopbackOrCapturedAddress) {
  const auto captured = AddressesToCapture({On(2, "192.168.1.20", 24), On(3, "2.0.0.1", 8)});
  EXPECT_TRUE(HostAddressIsHeld(A("2.0.0.1"), captured));
  EXPECT_TRUE(HostAddressIsHeld(A("127.0.1.1"), captured));
  EXPECT_TRUE(HostAddressIsHeld(A("127.0.1.1"), {}));
  EXPECT_FALSE(HostAddressIsHeld(A("2.0.0.9"), captured));
  EXPECT_FALSE(HostAddressIsHeld(0, captured));
}

TEST(Adapters, AddressesAreShownInDottedDecimal) {
  EXPECT_EQ(FormatAddress(A("2.0.0.1")), "2.0.0.1");
  EXPECT_EQ(FormatAddress(A("255.254.0.10")), "255.254.0.10");
  EXPECT_EQ(Text({}), "");
}

// Pollers are answered for ten seconds after their last ArtPoll, the most
// recent first; the set never grows past its capacity, the oldest giving
// way; and 0.0.0.0 is never one.
TEST(PollerSet, KeepsRecentPollersBounded) {
  PollerSet pollers;
  EXPECT_TRUE(pollers.Current(0).empty());
  pollers.Note(A("2.0.0.10"), 1000);
  pollers.Note(A("2.0.0.11"), 2000);
  pollers.Note(A("2.0.0.10"), 3000);  // Polled again: one entry, newer.
  pollers.Note(0, 3000);
  EXPECT_EQ(pollers.Current(3000), (std::vector<LocalAddress>{A("2.0.0.10"), A("2.0.0.11")}));
  EXPECT_EQ(pollers.Current(2000 + PollerSet::kKeepMs), (std::vector<LocalAddress>{A("2.0.0.10"), A("2.0.0.11")}));
  EXPECT_EQ(pollers.Current(2001 + PollerSet::kKeepMs), (std::vector<LocalAddress>{A("2.0.0.10")}));
  EXPECT_TRUE(pollers.Current(3001 + PollerSet::kKeepMs).empty());

  // A flood of ever new addresses.
  PollerSet flooded;
  flooded.Note(A("2.0.0.1"), 0);
  for (std::uint32_t i = 0; i < 1000; ++i) {
    flooded.Note(A(("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)).c_str()),
                 100 + i);
  }
  const auto current = flooded.Current(2000);
  ASSERT_EQ(current.size(), PollerSet::kCapacity);
  EXPECT_EQ(FormatAddress(current.front()), "10.1.3.250");
  for (const LocalAddress address : current) EXPECT_NE(FormatAddress(address), "2.0.0.1");
}

// The source address of the device's frames, for each kind of poller, on a
// host with an office adapter (2), a lighting adapter (3) with one or two
// addresses, and a host name resolving to the office address or 127.0.1.1.
TEST(Answers, FromTheHostsAddressThePollerCanAccept) {
  const auto one_each = AddressesToCapture({On(2, "192.168.1.20", 24), On(3, "2.0.0.1", 8)});
  const auto two_lighting =
      AddressesToCapture({On(2, "192.168.1.20", 24), On(3, "2.0.0.1", 8), On(3, "2.0.0.2", 8)});
  const auto lighting_only = AddressesToCapture({On(3, "2.0.0.1", 8)});
  const auto nested = AddressesToCapture({On(3, "10.0.0.1", 8), On(4, "10.7.0.1", 16)});
  const LocalAddress office = A("192.168.1.20");
  const LocalAddress loopback_name = A("127.0.1.1");
  const struct {
    const char* what;
    std::vector<AdapterAddress> captured;
    LocalAddress host;
    const char* poller;
    const char* source;
  } cases[] = {
      // A console on the lighting network: the host's lighting address.
      {"console, name at the office", one_each, office, "2.0.0.50", "2.0.0.1"},
      {"console, loopback name", one_each, loopback_name, "2.0.0.50", "2.0.0.1"},
      {"console on the office network", one_each, loopback_name, "192.168.1.7", "192.168.1.20"},
      {"longest prefix", nested, A("10.0.0.1"), "10.7.3.3", "10.7.0.1"},
      {"shorter prefix", nested, A("10.7.0.1"), "10.8.3.3", "10.0.0.1"},
      // A console on no network of the host (routed): the host name's
      // address, unless that is a loopback one.
      {"routed, name at the office", one_each, office, "172.16.0.5", "192.168.1.20"},
      {"routed, loopback name", lighting_only, loopback_name, "172.16.0.5", "2.0.0.1"},
      // A controller on the host itself, at one of its addresses: another.
      {"local, second address on its adapter", two_lighting, office, "2.0.0.1", "2.0.0.2"},
      {"local, second address, other one", two_lighting, office, "2.0.0.2", "2.0.0.1"},
      {"local, the host name's address", one_each, office, "2.0.0.1", "192.168.1.20"},
      {"local, at the host name's address", one_each, office, "192.168.1.20", "2.0.0.1"},
      {"local, any other address", one_each, loopback_name, "2.0.0.1", "192.168.1.20"},
      {"local, only the loopback name besides", lighting_only, loopback_name, "2.0.0.1", "127.0.1.1"},
      {"local, a host with one address", lighting_only, A("2.0.0.1"), "2.0.0.1", "2.0.0.1"},
  };
  for (const auto& c : cases) {
    const auto answers = AnswersFor({A(c.poller)}, c.captured, c.host);
    ASSERT_EQ(answers.size(), 1u) << c.what;
    EXPECT_EQ(FormatAddress(answers[0].source), c.source) << c.what;
    EXPECT_EQ(FormatAddress(answers[0].destination), c.poller) << c.what;
  }
}

TEST(Answers, WithoutPollersTheHostNamesAddressFromAndTo) {
  const auto captured = AddressesToCapture({On(2, "192.168.1.20", 24), On(3, "2.0.0.1", 8)});
  for (const LocalAddress host : {A("192.168.1.20"), A("127.0.1.1"), LocalAddress{0}}) {
    const auto answers = AnswersFor({}, captured, host);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].source, host);
    EXPECT_EQ(answers[0].destination, host);
  }
  // Every poller gets one answer, in their order.
  const auto answers = AnswersFor({A("2.0.0.50"), A("2.0.0.1"), A("192.168.1.7")}, captured, A("127.0.1.1"));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(FormatAddress(answers[0].destination) + " " + FormatAddress(answers[1].destination) + " " +
                FormatAddress(answers[2].destination),
            "2.0.0.50 2.0.0.1 192.168.1.7");
  EXPECT_EQ(FormatAddress(answers[1].source), "192.168.1.20");
}

// Start-up on a Windows PC: one socket per address. The verdict is what the
// console shows and whether the bridge goes on.
TEST(JudgeCapture, SaysEveryRefusalAndGoesOnWithTheOthers) {
  using Step = AdapterOutcome::Step;
  const LocalAddress office = A("192.168.1.20"), lighting = A("2.0.0.1"), vpn = A("10.8.0.2");

  // A normal start: every address captured, nothing but InitCompleted.
  CaptureVerdict verdict = JudgeCapture({{office, Step::kCapturing, 0}, {lighting, Step::kCapturing, 0}});
  EXPECT_TRUE(verdict.completed);
  EXPECT_FALSE(verdict.failed);
  EXPECT_FALSE(verdict.need_administrator);
  EXPECT_TRUE(verdict.refused.empty());

  // A VPN adapter refuses receive-all, an address went away before the
  // bind: both said, in order, and the lighting adapter is captured.
  verdict = JudgeCapture({{vpn, Step::kReceiveAllRefused, 10022},
                          {lighting, Step::kCapturing, 0},
                          {office, Step::kNotBound, 10049}});
  EXPECT_TRUE(verdict.completed);
  EXPECT_FALSE(verdict.failed);
  ASSERT_EQ(verdict.refused.size(), 2u);
  EXPECT_EQ(verdict.refused[0].address, vpn);
  EXPECT_EQ(verdict.refused[0].error, 10022u);
  EXPECT_EQ(verdict.refused[1].address, office);
  EXPECT_EQ(verdict.refused[1].error, 10049u);

  // Receive-all refused everywhere (as under Wine): said, the sockets kept,
  // no InitCompleted, and start-up goes on.
  verdict = JudgeCapture({{office, Step::kReceiveAllRefused, 10045}, {lighting, Step::kReceiveAllRefused, 10045}});
  EXPECT_FALSE(verdict.completed);
  EXPECT_FALSE(verdict.failed);
  EXPECT_EQ(verdict.refused.size(), 2u);

  // No address could be bound: said, and set-up fails.
  verdict = JudgeCapture({{office, Step::kNotBound, 10049}});
  EXPECT_TRUE(verdict.failed);
  EXPECT_EQ(verdict.refused.size(), 1u);
  EXPECT_TRUE(JudgeCapture({}).failed);

  // Without the rights: NeedAdministrator alone, with the code, however far
  // the others got.
  verdict = JudgeCapture({{office, Step::kReceiveAllRefused, 10045}, {lighting, Step::kNoSocket, 10013}});
  EXPECT_TRUE(verdict.need_administrator);
  EXPECT_EQ(verdict.administrator_error, 10013u);
  EXPECT_TRUE(verdict.failed);
  EXPECT_FALSE(verdict.completed);
  EXPECT_TRUE(verdict.refused.empty());
}

// An IPv4 header's worth of bytes from `source` to `destination`.
std::vector<std::uint8_t> Packet(const char* source, const char* destination) {
  std::vector<std::uint8_t> packet(28, 0);
  packet[0] = 0x45;
  const LocalAddress from = A(source), to = A(destination);
  std::memcpy(packet.data() + 12, &from, sizeof from);
  std::memcpy(packet.data() + 16, &to, sizeof to);
  return packet;
}

// A Windows PC whose lighting adapter (3) holds two addresses, each with a
// socket in receive-all mode: each socket delivers every packet of the
// adapter, and the device must get each once.
TEST(TakeCaptured, AnAdapterWithTwoAddressesHandsEachPacketOnOnce) {
  const std::vector<HeldCapture> held = {
      {A("192.168.1.20"), 2, true}, {A("2.0.0.1"), 3, true}, {A("2.0.0.2"), 3, true}};
  // Which of the lighting adapter's two sockets (1 and 2) take a packet
  // that crosses the adapter, and so comes to both.
  auto takers = [&held](const char* source, const char* destination) {
    const std::vector<std::uint8_t> packet = Packet(source, destination);
    std::string taken;
    for (std::size_t i : {1u, 2u}) {
      if (TakeCaptured(i, held, packet.data(), packet.size())) taken += std::to_string(i);
    }
    return taken;
  };
  EXPECT_EQ(takers("2.0.0.50", "2.0.0.2"), "1") << "in, to the second address";
  EXPECT_EQ(takers("2.0.0.50", "2.0.0.1"), "1") << "in, to the first";
  EXPECT_EQ(takers("2.0.0.50", "2.255.255.255"), "1") << "a broadcast";
  EXPECT_EQ(takers("2.0.0.2", "2.0.0.50"), "1") << "out, from the second address";
  // The host's own packets to its second address, looped inside the IP
  // stack, come only to the socket bound to it, which takes them.
  for (const char* own : {"2.0.0.1", "2.0.0.2", "192.168.1.20"}) {
    const std::vector<std::uint8_t> looped = Packet(own, "2.0.0.2");
    EXPECT_TRUE(TakeCaptured(2, held, looped.data(), looped.size())) << own;
  }
  // The other adapter's one socket takes all it reads.
  const std::vector<std::uint8_t> office = Packet("192.168.1.7", "192.168.1.20");
  EXPECT_TRUE(TakeCaptured(0, held, office.data(), office.size()));
  // A packet too short for an IPv4 header goes on, for the filter to drop.
  const std::vector<std::uint8_t> in = Packet("2.0.0.50", "2.0.0.2");
  EXPECT_TRUE(TakeCaptured(2, held, in.data(), 19));

  // Receive-all refused everywhere (as under Wine): each socket delivers
  // what comes to its address alone, and takes it all.
  const std::vector<HeldCapture> refused = {{A("2.0.0.1"), 3, false}, {A("2.0.0.2"), 3, false}};
  EXPECT_TRUE(TakeCaptured(1, refused, in.data(), in.size()));
  // The adapter's socket in receive-all mode leads wherever it stands; one
  // refused beside it keeps only the host's own packets to its address.
  const std::vector<HeldCapture> mixed = {{A("2.0.0.2"), 3, false}, {A("2.0.0.1"), 3, true}};
  EXPECT_FALSE(TakeCaptured(0, mixed, in.data(), in.size()));
  EXPECT_TRUE(TakeCaptured(1, mixed, in.data(), in.size()));
  const std::vector<std::uint8_t> looped = Packet("2.0.0.1", "2.0.0.2");
  EXPECT_TRUE(TakeCaptured(0, mixed, looped.data(), looped.size()));
}

}  // namespace
