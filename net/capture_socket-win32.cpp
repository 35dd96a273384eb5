// The capture socket is a raw IPv4 socket in receive-all mode (SIO_RCVALL): it
// delivers every IPv4 packet that the interface holding the host's address
// sends or receives, header first.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "console/console.h"
#include "net/capture_socket.h"
#include "net/local_address.h"

namespace {

// From <mstcpip.h>: _WSAIOW(IOC_VENDOR, 1) and its "on" value.
constexpr DWORD kSioRcvall = 0x98000001;
constexpr u_long kRcvallOn = 1;

}  // namespace

void CaptureSocket::Init() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    WriteMessage(Message::WinsockLoadFailed, GetLastError());
    return;
  }

  const LocalAddress address = GetLocalIPv4();
  if (address == 0) return;

  const SOCKET capture = ::socket(AF_INET, SOCK_RAW, IPPROTO_IP);
  if (capture == INVALID_SOCKET) {
    // Raw sockets are for administrators only.
    WriteMessage(Message::NeedAdministrator, GetLastError());
    return;
  }
  socket_ = static_cast<NativeSocket>(capture);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = 0;
  local.sin_addr.s_addr = address;
  if (bind(capture, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    closesocket(capture);
    socket_ = kInvalidSocket;
    return;
  }
  address_.store(address, std::memory_order_relaxed);

  // Refused, the socket stays as it is: the capture loop still reads what it
  // delivers without receive-all mode.
  u_long value = kRcvallOn;
  if (ioctlsocket(capture, static_cast<long>(kSioRcvall), &value) == 0) {
    WriteMessage(Message::InitCompleted);
  }
}

CaptureReceive CaptureSocket::Receive(std::uint8_t* buffer, std::size_t capacity) {
  // Bound to the address, the socket follows nothing: what it delivers is
  // what there is.
  return ReceiveCaptured(socket_, buffer, capacity);
}

CaptureReceive ReceiveCaptured(NativeSocket socket, std::uint8_t* buffer, std::size_t capacity) {
  const int count = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                         static_cast<int>(capacity), 0);
  if (count >= 0) return {CaptureReceive::Result::kPacket, static_cast<std::size_t>(count), 0};
  const DWORD error = GetLastError();
  // Winsock fails the receive of a packet longer than the buffer, after
  // copying its first bytes.
  if (error == WSAEMSGSIZE) return {CaptureReceive::Result::kTooLarge, 0, 0};
  return {CaptureReceive::Result::kFailed, 0, error};
}
