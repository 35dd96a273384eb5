// The capture is one raw IPv4 socket per address of an adapter that is up,
// bound to it and switched into receive-all mode (SIO_RCVALL): each delivers
// every IPv4 packet its adapter sends or receives, header first (an adapter
// with two addresses delivers each twice, and TakeCaptured keeps one). One thread
// (the capture thread) reads them all, and opens and closes them as the
// adapters change: each socket belongs to that one thread, so none is ever
// closed under a receive that waits on it, the packets of all adapters reach
// the device in the order they are read, and the thread is woken by events
// alone, never by a timer while all is well. A busy adapter cannot starve
// the others: they are read in turn. Packets wait in each socket's own
// buffer meanwhile, which is made large for that.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "net/adapters.h"
#include "net/capture_socket.h"
#include "net/local_address.h"

namespace {

// Each socket's receive buffer (SO_RCVBUF,
// https://learn.microsoft.com/en-us/windows/win32/winsock/sol-socket-socket-options):
// some 15,000 ArtDmx of 530 bytes, a burst of a busy lighting network while
// the thread waits for a processor. The bridge works with less, so a refusal
// is not reported.
constexpr int kReceiveBufferBytes = 8 << 20;

// While the host name's address is not one of the captured, the name is
// looked up again this often: it may come to resolve to a held address with
// no change the system tells of (an edited hosts file, a name server).
constexpr DWORD kLookAgainMs = 1000;

struct OpenCapture {
  LocalAddress address;
  int interface_index;
  bool receive_all;
  SOCKET socket;
  WSAEVENT event;
};

// Opens the capture on one address: a raw IPv4 socket, bound to it, in
// receive-all mode. `opened` holds the socket when it is kept (captured, or
// bound but refused receive-all), else INVALID_SOCKET. Error codes are read
// with WSAGetLastError right after the failed call, as Winsock asks
// (https://learn.microsoft.com/en-us/windows/win32/winsock/error-codes-errno-h-errno-and-wsagetlasterror-2).
AdapterOutcome Open(const AdapterAddress& entry, OpenCapture* opened) {
  const LocalAddress address = entry.address;
  opened->address = address;
  opened->interface_index = entry.interface_index;
  opened->receive_all = false;
  opened->socket = INVALID_SOCKET;
  opened->event = WSA_INVALID_EVENT;
  const SOCKET capture = ::socket(AF_INET, SOCK_RAW, IPPROTO_IP);
  if (capture == INVALID_SOCKET) {
    // Raw sockets are for administrators only (WSAEACCES).
    return {address, AdapterOutcome::Step::kNoSocket, static_cast<std::uint32_t>(WSAGetLastError())};
  }
  setsockopt(capture, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBufferBytes),
             sizeof kReceiveBufferBytes);

  // SIO_RCVALL needs the socket bound to an explicit local address, which
  // picks the interface it captures
  // (https://learn.microsoft.com/en-us/windows/win32/winsock/sio-rcvall).
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = 0;
  local.sin_addr.s_addr = address;
  if (bind(capture, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int error = WSAGetLastError();
    closesocket(capture);
    return {address, AdapterOutcome::Step::kNotBound, static_cast<std::uint32_t>(error)};
  }

  // The socket's FD_READ sets its event; that makes the socket non-blocking
  // (https://learn.microsoft.com/en-us/windows/win32/api/winsock2/nf-winsock2-wsaeventselect).
  const WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT || WSAEventSelect(capture, event, FD_READ) != 0) {
    const int error = WSAGetLastError();
    if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
    closesocket(capture);
    return {address, AdapterOutcome::Step::kNotBound, static_cast<std::uint32_t>(error)};
  }
  opened->socket = capture;
  opened->event = event;

  // Receive-all mode is an ioctl for WSAIoctl: ioctlsocket is documented for
  // FIONBIO, FIONREAD and SIOCATMARK only
  // (https://learn.microsoft.com/en-us/windows/win32/api/winsock/nf-winsock-ioctlsocket).
  // Refused, the socket stays: it still delivers what comes to its address.
  DWORD value = RCVALL_ON;
  DWORD returned = 0;
  if (WSAIoctl(capture, SIO_RCVALL, &value, sizeof value, nullptr, 0, &returned, nullptr, nullptr) != 0) {
    return {address, AdapterOutcome::Step::kReceiveAllRefused, static_cast<std::uint32_t>(WSAGetLastError())};
  }
  opened->receive_all = true;
  return {address, AdapterOutcome::Step::kCapturing, 0};
}

void Close(const OpenCapture& open) {
  closesocket(open.socket);
  WSACloseEvent(open.event);
}

}  // namespace

struct CaptureSocket::Platform {
  std::vector<OpenCapture> open;
  // The same, as TakeCaptured reads them; made again whenever `open` changes.
  std::vector<HeldCapture> held;
  ChangeNotices changes = kNoChangeNotices;
  // Whether the host name's address is held; while it is not, the name is
  // looked up again once a second.
  bool name_held = false;
  // The socket to look at first next time, so that all are read in turn.
  std::size_t next = 0;
  // The refusals said since their address appeared, each said once.
  std::vector<AdapterOutcome> said;

  // After every change to `open`, before the packets are read again.
  void Hold() {
    held.clear();
    for (const OpenCapture& capture : open) held.push_back({capture.address, capture.interface_index, capture.receive_all});
  }

  std::vector<AdapterAddress> Kept(const std::vector<AdapterAddress>& captured) const {
    std::vector<AdapterAddress> kept;
    for (const AdapterAddress& entry : captured) {
      for (const OpenCapture& capture : open) {
        if (capture.address == entry.address) kept.push_back(entry);
      }
    }
    return kept;
  }

  void Say(const AdapterOutcome& outcome) {
    for (const AdapterOutcome& before : said) {
      if (before.address == outcome.address && before.error == outcome.error) return;
    }
    said.push_back(outcome);
    WriteMessage(Message::AdapterNotCaptured, outcome.error, FormatAddress(outcome.address));
  }
};

CaptureSocket::CaptureSocket() : platform_(std::make_unique<Platform>()) {}
CaptureSocket::~CaptureSocket() = default;

void CaptureSocket::Init() {
  // WSAStartup returns its error code itself; WSAGetLastError cannot be
  // called before the library has started
  // (https://learn.microsoft.com/en-us/windows/win32/api/winsock/nf-winsock-wsastartup).
  WSADATA data;
  const int started = WSAStartup(MAKEWORD(2, 2), &data);
  if (started != 0) {
    WriteMessage(Message::WinsockLoadFailed, static_cast<std::uint32_t>(started));
    return;
  }

  const LocalAddress host = GetLocalIPv4();
  if (host == 0) return;

  Platform& p = *platform_;
  // Opened before the adapters are listed, so that no change after the
  // listing goes unnoticed. Without it the bridge captures what it finds now.
  p.changes = OpenChangeNotices();
  const std::vector<AdapterAddress> captured = AddressesToCapture(ListAdapterAddresses());
  if (captured.empty() || !HostAddressIsHeld(host, captured)) {
    // Nothing to capture, or the host name's address held by no adapter:
    // set-up fails without a message of its own, as a bind to such an
    // address does. The rights are looked at first all the same, as when
    // there is something to capture, so that a user without them is told.
    const SOCKET probe = ::socket(AF_INET, SOCK_RAW, IPPROTO_IP);
    if (probe == INVALID_SOCKET) {
      WriteMessage(Message::NeedAdministrator, static_cast<std::uint32_t>(WSAGetLastError()));
    } else {
      closesocket(probe);
    }
    return;
  }

  std::vector<AdapterOutcome> outcomes;
  for (const AdapterAddress& entry : captured) {
    OpenCapture opened;
    outcomes.push_back(Open(entry, &opened));
    if (opened.socket != INVALID_SOCKET) p.open.push_back(opened);
    if (outcomes.back().step == AdapterOutcome::Step::kNoSocket) break;
  }
  const CaptureVerdict verdict = JudgeCapture(outcomes);
  if (verdict.need_administrator) {
    WriteMessage(Message::NeedAdministrator, verdict.administrator_error);
  }
  for (const AdapterOutcome& refused : verdict.refused) p.Say(refused);
  if (verdict.failed) {
    for (const OpenCapture& open : p.open) Close(open);
    p.open.clear();
    return;
  }
  p.name_held = true;
  p.Hold();
  Publish(host, p.Kept(captured));
  ready_ = true;
  if (verdict.completed) WriteMessage(Message::InitCompleted);
}

CaptureReceive CaptureSocket::Receive(std::uint8_t* buffer, std::size_t capacity) {
  Platform& p = *platform_;
  for (;;) {
    // The sockets whose event is set, from the one after the last read.
    const std::size_t count = p.open.size();
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = (p.next + k) % count;
      const OpenCapture capture = p.open[i];
      if (WaitForSingleObject(capture.event, 0) != WAIT_OBJECT_0) continue;
      // Reset before the receive: a packet that stays queued after it sets
      // the event again (recv re-enables FD_READ).
      WSAResetEvent(capture.event);
      const CaptureReceive received = ReceiveCaptured(static_cast<NativeSocket>(capture.socket), buffer, capacity);
      if (received.result == CaptureReceive::Result::kPacket && !TakeCaptured(i, p.held, buffer, received.size)) {
        continue;  // Another socket of its adapter delivers it.
      }
      if (received.result != CaptureReceive::Result::kFailed) {
        p.next = i + 1;
        return received;
      }
      if (received.error == WSAEWOULDBLOCK) continue;
      // The adapter went away under its socket: the others go on, and the
      // next look at the adapters opens it again if it is still there.
      Close(capture);
      p.open.erase(p.open.begin() + static_cast<std::ptrdiff_t>(i));
      p.Hold();
      Publish(address(), p.Kept(captured()));
      break;
    }
    if (p.open.size() != count) continue;

    std::vector<WSAEVENT> events;
    if (p.changes != kNoChangeNotices) events.push_back(reinterpret_cast<WSAEVENT>(p.changes));
    for (const OpenCapture& capture : p.open) events.push_back(capture.event);
    const DWORD timeout = p.name_held ? WSA_INFINITE : kLookAgainMs;
    DWORD waited = WSA_WAIT_TIMEOUT;
    if (events.empty()) {
      Sleep(kLookAgainMs);
    } else {
      waited = WSAWaitForMultipleEvents(static_cast<DWORD>(events.size()), events.data(), FALSE, timeout, FALSE);
      if (waited == WSA_WAIT_FAILED) {
        return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(WSAGetLastError())};
      }
    }
    const bool changed = p.changes != kNoChangeNotices && DrainChangeNotices(p.changes) == Notices::kChanged;
    if (waited != WSA_WAIT_TIMEOUT && !changed) continue;

    // Look at the adapters again: close what is gone, open what is new.
    const LocalAddress resolved = GetLocalIPv4();
    const LocalAddress host = resolved != 0 ? resolved : address();
    const std::vector<AdapterAddress> captured = AddressesToCapture(ListAdapterAddresses());
    p.name_held = resolved != 0 && HostAddressIsHeld(resolved, captured);
    auto listed = [&captured](LocalAddress address) {
      for (const AdapterAddress& entry : captured) {
        if (entry.address == address) return true;
      }
      return false;
    };
    for (std::size_t i = p.open.size(); i-- > 0;) {
      if (!listed(p.open[i].address)) {
        Close(p.open[i]);
        p.open.erase(p.open.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    for (std::size_t i = p.said.size(); i-- > 0;) {
      if (!listed(p.said[i].address)) p.said.erase(p.said.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const AdapterAddress& entry : captured) {
      bool open = false;
      for (const OpenCapture& capture : p.open) open = open || capture.address == entry.address;
      if (open) continue;
      OpenCapture opened;
      const AdapterOutcome outcome = Open(entry, &opened);
      if (opened.socket != INVALID_SOCKET) p.open.push_back(opened);
      if (outcome.step != AdapterOutcome::Step::kCapturing) p.Say(outcome);
    }
    p.Hold();
    Publish(host, p.Kept(captured));
  }
}

CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity) {
  const int count = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                         static_cast<int>(capacity), 0);
  if (count >= 0) return {CaptureReceive::Result::kPacket, static_cast<std::size_t>(count), 0};
  const int error = WSAGetLastError();
  // Winsock fails the receive of a packet longer than the buffer, after
  // copying its first bytes.
  if (error == WSAEMSGSIZE) return {CaptureReceive::Result::kTooLarge, 0, 0};
  return {CaptureReceive::Result::kFailed, 0, static_cast<std::uint32_t>(error)};
}
