#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "app/privileges.h"

void DropPrivileges() {
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
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
