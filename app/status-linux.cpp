// The service manager's notification protocol: datagrams of "KEY=value"
// lines to the AF_UNIX socket named in $NOTIFY_SOCKET (a path, or an
// abstract name after "@"), as sd_notify(3) documents it. A few lines here
// spare the bridge a library it would load for nothing else; outside
// systemd, where the variable is unset, nothing is sent.
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "app/status.h"

namespace {

std::mutex g_mutex;
int g_socket = -1;
sockaddr_un g_address{};
socklen_t g_address_size = 0;
bool g_opened = false;

void Notify(const std::string& message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_opened) {
    // Opened on the first message (READY=1), after the bridge has dropped
    // its capabilities: an AF_UNIX socket needs none.
    g_opened = true;
    const char* name = getenv("NOTIFY_SOCKET");
    const std::size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length == 0 || length >= sizeof g_address.sun_path || (name[0] != '/' && name[0] != '@')) return;
    g_address.sun_family = AF_UNIX;
    std::memcpy(g_address.sun_path, name, length);
    if (name[0] == '@') g_address.sun_path[0] = '\0';  // An abstract socket.
    g_address_size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    g_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (g_socket < 0) return;
  // MSG_NOSIGNAL: a manager that went away must not end the bridge.
  sendto(g_socket, message.data(), message.size(), MSG_NOSIGNAL,
         reinterpret_cast<const sockaddr*>(&g_address), g_address_size);
}

}  // namespace

void ShowStatus(const std::string& line) { Notify("STATUS=" + line); }

void NotifyReady() { Notify("READY=1"); }

void NotifyStopping() { Notify("STOPPING=1"); }
