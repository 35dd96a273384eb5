// Giving up, once the bridge holds what it needs them for, the rights it
// started with.
#ifndef ARTNET_APP_PRIVILEGES_H_
#define ARTNET_APP_PRIVILEGES_H_

// Linux: once both raw sockets are open nothing needs a capability (the
// device is reopened after an unplug by file permissions), so every
// capability goes, effective, permitted, inheritable and ambient, and no
// program the bridge could start may gain any (no_new_privs). Started as
// root, the bridge first becomes an unprivileged user: the package's system
// user artnet-serial-bridge where it exists, else nobody, with that user's
// group and dialout (the group that owns the serial ports) as its groups.
// Where that is refused it stays root, without any capability. Windows: the
// process keeps its token; nothing is done. Writes nothing; a failure
// leaves the rights as they were. Main thread, before other threads start,
// so that they all run without them.
void DropPrivileges();

#endif  // ARTNET_APP_PRIVILEGES_H_
