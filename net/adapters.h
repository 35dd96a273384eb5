// The host's adapters as the bridge sees them, and the rules it applies to
// them: which addresses it captures, which controllers it answers, and from
// which of its own addresses. The rules are pure: the platform files
// (adapters-linux.cpp, adapters-win32.cpp) list the adapters and tell of
// changes; the capture sockets and app/main.cpp apply what the rules say.
//
// A lighting PC keeps Art-Net on an adapter of its own (by Art-Net's
// convention a 2.x.x.x or 10.x.x.x network) beside an office, Wi-Fi, VPN or
// virtual adapter, and its host name may resolve to any of them, or to a
// loopback address. So the bridge captures every adapter, and sends the
// device's frames to the controllers that asked for them (by polling), from
// the host's address on their network.
#ifndef ARTNET_NET_ADAPTERS_H_
#define ARTNET_NET_ADAPTERS_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "net/local_address.h"

// One IPv4 address that one of the host's adapters holds.
struct AdapterAddress {
  // The adapter's interface index (Linux's ifindex, Windows' IfIndex).
  int interface_index = 0;
  LocalAddress address = 0;  // Network byte order.
  int prefix_length = 32;    // Of its network: 24 for a /24.
  // The adapter is up (Linux IFF_UP; Windows IfOperStatusUp, and the address
  // past its duplicate address detection).
  bool up = false;
  bool loopback = false;     // The loopback adapter (or a 127.x.x.x address).
};

// The most addresses captured at once. Far above what a PC holds; it bounds
// the kernel program on Linux and the events one thread waits for on
// Windows (WSAWaitForMultipleEvents takes 64, one of them the change event).
constexpr std::size_t kMaxCapturedAddresses = 63;

// Whether `address` (network byte order) lies in 127.0.0.0/8.
bool IsLoopbackAddress(LocalAddress address);

// The addresses the bridge captures, from all that the adapters hold: every
// IPv4 address of an adapter that is up, but not the loopback adapter's nor
// any 127.x.x.x address (the host's traffic to itself is taken where it goes
// to one of the captured addresses; 127.0.0.1 stays unseen), nor 0.0.0.0.
// Each address once (the first adapter found holding it), in the order
// found, at most kMaxCapturedAddresses. Pure; any thread.
std::vector<AdapterAddress> AddressesToCapture(const std::vector<AdapterAddress>& found);

// Whether the host name's address `host` lets the bridge start: it resolves
// (not 0) and is either a loopback address (the host's own traffic to it is
// captured) or an address the bridge captures. Pure; any thread.
bool HostAddressIsHeld(LocalAddress host, const std::vector<AdapterAddress>& captured);

// The addresses, as text ("10.0.0.7"), joined by single spaces: what the
// status line shows. Pure; any thread.
std::string FormatAddresses(const std::vector<AdapterAddress>& addresses);
std::string FormatAddress(LocalAddress address);

// The controllers that have polled lately (an ArtPoll seen in the capture):
// the device's frames go to them. Bounded: a flood of ArtPolls from ever new
// addresses (forged ones, say) replaces the oldest entries and never grows
// the set past kCapacity. Times are milliseconds of a steady clock. The
// capture thread notes, the main thread reads; any thread.
class PollerSet {
 public:
  static constexpr std::size_t kCapacity = 32;
  // A poller is answered this long after its last ArtPoll. Controllers poll
  // every 2.5 to 3 seconds, as Art-Net asks; this outlasts three polls.
  static constexpr std::int64_t kKeepMs = 10000;

  // `poller` (network byte order) sent an ArtPoll at `now_ms`.
  void Note(LocalAddress poller, std::int64_t now_ms);
  // Those that polled within kKeepMs before `now_ms`, the most recent first.
  std::vector<LocalAddress> Current(std::int64_t now_ms) const;

 private:
  struct Entry {
    LocalAddress address;
    std::int64_t last_ms;
  };
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// One datagram the device's frame goes out as: from `source` to
// `destination`, both port 6454.
struct Answer {
  LocalAddress source;
  LocalAddress destination;
};

// Where one of the device's frames goes, and from where:
//  - with no poller, from and to the host name's address `host`, as a node
//    on the host itself;
//  - to each poller, at its address. For a console elsewhere, from the
//    captured address whose network holds it (the longest prefix). For a
//    controller on the host itself (it polled from one of `captured`), from
//    another of the host's addresses, since software such as OLA ignores
//    datagrams from its own address: another on the same adapter, else the
//    host name's address, else any other captured one, else (a host with
//    one address) its own. A poller on no captured network gets the host
//    name's address, or the first captured one where the name's is a
//    loopback address, which no other host can answer.
// One answer per poller, in their order. Pure; any thread.
std::vector<Answer> AnswersFor(const std::vector<LocalAddress>& pollers,
                               const std::vector<AdapterAddress>& captured, LocalAddress host);

// How opening the capture on one address went, where each address has a
// socket of its own (Windows: a raw socket bound to it, in receive-all mode).
struct AdapterOutcome {
  enum class Step {
    kCapturing,          // Bound, and in receive-all mode.
    kNoSocket,           // The raw socket could not be made: no rights.
    kNotBound,           // It could not be bound to the address (closed again).
    kReceiveAllRefused,  // Bound, but receive-all mode was refused (kept).
  };
  LocalAddress address = 0;
  Step step = Step::kCapturing;
  std::uint32_t error = 0;  // The socket error code of the failed step.
};

// A capture as the Windows capture holds it: a raw socket bound to one
// address, in receive-all mode or not.
struct HeldCapture {
  LocalAddress address = 0;
  int interface_index = 0;
  bool receive_all = false;
};

// Whether a packet (the IPv4 packet, header first) read from the capture
// held[from] goes on to the filter. Receive-all delivers every packet that
// passes the adapter, not only those to the address the socket is bound to
// (https://learn.microsoft.com/en-us/windows/win32/winsock/sio-rcvall), so
// an adapter with two addresses (as a host that answers a controller from
// its second address has) hands each of its packets to two sockets. The
// first socket of the adapter in receive-all mode takes them all; another
// socket of that adapter takes only what the first cannot see: the host's
// own packets to its address, which the IP stack loops back without any
// adapter and copies to the raw sockets bound to their destination
// (https://learn.microsoft.com/en-us/windows/win32/winsock/tcp-ip-raw-sockets-2).
// Pure; any thread.
bool TakeCaptured(std::size_t from, const std::vector<HeldCapture>& held, const std::uint8_t* packet,
                  std::size_t size);

// What start-up says and does after opening the capture on every address.
struct CaptureVerdict {
  // Write NeedAdministrator with this code and fail: a raw socket is refused
  // to a program without the rights, whatever the address.
  bool need_administrator = false;
  std::uint32_t administrator_error = 0;
  // One AdapterNotCaptured line each (code, address), in order.
  std::vector<AdapterOutcome> refused;
  // Write InitCompleted: at least one address captures in receive-all mode.
  bool completed = false;
  // Set-up failed: no socket is left to read (NetworkInitFailed follows).
  bool failed = false;
};

// Judges the outcomes, in the order the addresses were opened: the first
// socket refused decides (no line about any adapter then); every other
// failure is said, with its code and address, and the bridge goes on with
// the other addresses; a socket without receive-all mode is kept and read
// all the same, as it delivers what it may. No outcomes at all is a failed
// set-up. Pure; any thread.
CaptureVerdict JudgeCapture(const std::vector<AdapterOutcome>& outcomes);

// --- The platform's side (adapters-linux.cpp, adapters-win32.cpp).

// Every IPv4 address the host's adapters hold now, the loopback adapter's
// included, in the system's order; empty when they cannot be listed. On
// Windows the socket library must have been started. Writes nothing; any
// thread.
std::vector<AdapterAddress> ListAdapterAddresses();

// What tells of changes to the adapters and their addresses: on Linux an
// rtnetlink socket (a descriptor to poll), on Windows an event that the
// system's notifications of address and interface changes set (a HANDLE to
// wait for). kNoChangeNotices when it could not be opened.
using ChangeNotices = std::intptr_t;
constexpr ChangeNotices kNoChangeNotices = -1;

// Opens it, before the adapters are listed, so that no change after the
// listing goes unnoticed. Needs no rights. Writes nothing; once.
ChangeNotices OpenChangeNotices();

enum class Notices {
  kNone,     // Nothing changed.
  kChanged,  // Something did: list the adapters again.
  kBroken,   // It can tell no more (and would wake its reader for ever).
};

// Takes every notice that waits, without blocking. What they say is not
// looked at: any of them may change what is captured, and listing the
// adapters again is cheap. The thread that waits for it.
Notices DrainChangeNotices(ChangeNotices notices);

#endif  // ARTNET_NET_ADAPTERS_H_
