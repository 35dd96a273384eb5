// The adapters as Windows lists them (GetAdaptersAddresses) and tells of
// their changes (NotifyUnicastIpAddressChange, NotifyIpInterfaceChange).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h: iphlpapi.h pulls in windows.h, which would bring the old
// winsock.h first.
#include <iphlpapi.h>
#include <netioapi.h>

#include <vector>

#include "net/adapters.h"

namespace {

// GetAdaptersAddresses
// (https://learn.microsoft.com/en-us/windows/win32/api/iphlpapi/nf-iphlpapi-getadaptersaddresses):
// "The recommended method of calling the GetAdaptersAddresses function is to
// pre-allocate a 15KB working buffer"; on ERROR_BUFFER_OVERFLOW it says in
// its last argument how large a buffer it needs, and the list may grow
// between two calls, so it is asked a few times.
constexpr ULONG kFirstBufferBytes = 15000;
constexpr int kTries = 4;

// Both notifications' callbacks run on a thread of the system's and only
// set the event; the capture thread lists the adapters again.
// NotifyUnicastIpAddressChange
// (https://learn.microsoft.com/en-us/windows/win32/api/netioapi/nf-netioapi-notifyunicastipaddresschange)
// tells of addresses added, deleted or changed (DHCP, a reconnected Wi-Fi);
// NotifyIpInterfaceChange
// (https://learn.microsoft.com/en-us/windows/win32/api/netioapi/nf-netioapi-notifyipinterfacechange)
// of interfaces that come, go or change state (a cable unplugged leaves a
// static address in place).
VOID WINAPI AddressChanged(PVOID context, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
  SetEvent(static_cast<HANDLE>(context));
}

VOID WINAPI InterfaceChanged(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  SetEvent(static_cast<HANDLE>(context));
}

}  // namespace

std::vector<AdapterAddress> ListAdapterAddresses() {
  std::vector<AdapterAddress> found;
  constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG size = kFirstBufferBytes;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < kTries && result == ERROR_BUFFER_OVERFLOW; ++i) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return found;
  for (const IP_ADAPTER_ADDRESSES* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      if (unicast->Address.lpSockaddr == nullptr || unicast->Address.lpSockaddr->sa_family != AF_INET) continue;
      AdapterAddress address;
      // IfIndex is the adapter's IPv4 interface index.
      address.interface_index = static_cast<int>(adapter->IfIndex);
      address.address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr)->sin_addr.s_addr;
      address.prefix_length = unicast->OnLinkPrefixLength;
      // An address Windows is still checking for duplicates (tentative) cannot
      // be bound yet; it counts once it is preferred, or deprecated (still
      // usable), and the change of its DadState is notified
      // (https://learn.microsoft.com/en-us/windows/win32/api/iptypes/ns-iptypes-ip_adapter_unicast_address_lh).
      const bool usable = unicast->DadState == IpDadStatePreferred || unicast->DadState == IpDadStateDeprecated;
      address.up = adapter->OperStatus == IfOperStatusUp && usable;
      address.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
      found.push_back(address);
    }
  }
  return found;
}

ChangeNotices OpenChangeNotices() {
  // Manual reset: the capture thread resets it before it lists the adapters,
  // so a change during the listing sets it again.
  const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return kNoChangeNotices;
  // The registrations last as long as the process: nothing cancels them.
  HANDLE addresses = nullptr;
  HANDLE interfaces = nullptr;
  const bool registered =
      NotifyUnicastIpAddressChange(AF_INET, AddressChanged, event, FALSE, &addresses) == NO_ERROR;
  const bool registered_too =
      NotifyIpInterfaceChange(AF_INET, InterfaceChanged, event, FALSE, &interfaces) == NO_ERROR;
  if (!registered && !registered_too) {
    CloseHandle(event);
    return kNoChangeNotices;
  }
  return reinterpret_cast<ChangeNotices>(event);
}

Notices DrainChangeNotices(ChangeNotices notices) {
  const HANDLE event = reinterpret_cast<HANDLE>(notices);
  if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return Notices::kNone;
  ResetEvent(event);
  return Notices::kChanged;
}
