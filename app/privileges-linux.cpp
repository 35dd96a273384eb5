#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#include "app/privileges.h"

namespace {

// The user a bridge started as root becomes: the package's system user,
// made for the service, where it exists; else nobody, which every system has.
constexpr const char* kUnprivilegedUsers[] = {"artnet-serial-bridge", "nobody"};
// The group that owns the serial ports (udev gives them to dialout on Debian
// and its kin): through it a port replugged while the bridge runs is opened
// again, as the packaged service does.
constexpr const char* kSerialPortGroup = "dialout";

// Becomes the first of kUnprivilegedUsers that exists, with its own group and
// kSerialPortGroup as the only other one, as tcpdump does once its capture
// is open. The groups go first and the user last: each change needs root's
// rights, which the change of user ends (a process whose user ids all leave
// 0 loses every capability). False, with the rights as far as they got,
// when a user or a change is refused (a user namespace that maps no such
// user, a root without CAP_SETUID).
bool BecomeUnprivilegedUser() {
  const passwd* user = nullptr;
  for (const char* name : kUnprivilegedUsers) {
    if ((user = getpwnam(name)) != nullptr) break;
  }
  if (user == nullptr || user->pw_uid == 0) return false;
  const uid_t uid = user->pw_uid;
  const gid_t gid = user->pw_gid;
  gid_t groups[1];
  std::size_t group_count = 0;
  if (const group* serial = getgrnam(kSerialPortGroup)) groups[group_count++] = serial->gr_gid;
  return setgroups(group_count, groups) == 0 && setresgid(gid, gid, gid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

}  // namespace

void DropPrivileges() {
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  // uid 0 without a capability still owns every file root owns.
  if (geteuid() == 0) BecomeUnprivilegedUser();
  // Ambient capabilities (what a service's AmbientCapabilities= gives) first:
  // they cannot outlive the permitted set, but are cleared for plainness.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  // capset(2) through the system call: the C library has no wrapper, and
  // libcap would be a dependency for these few lines.
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
}
