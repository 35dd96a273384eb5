"""Runs a command under a unit's system call and address family filters, as
systemd installs them just before it starts a service (SystemCallFilter=,
RestrictAddressFamilies=): two seccomp filters, one that lets only the
listed system calls through and ends the process at any other (SIGSYS, as
systemd does unless told otherwise), and one under which socket() of any
family not listed fails with EAFNOSUPPORT. Both stay in force across the
exec and in every thread.

Usage (no_new_privs must be set, as the unit's NoNewPrivileges= does):
  unit_filter.py --syscalls NAME,... --families NUMBER,... -- COMMAND [ARG...]

Run by the Python of the system the command lives on, whose python3-seccomp
it uses; service.unit_command() builds the whole command line.
"""

import errno
import os
import sys

import seccomp


def main(argv):
    separator = argv.index("--")
    options = dict(zip(argv[1:separator:2], argv[2:separator:2]))
    command = argv[separator + 1:]
    syscalls = options["--syscalls"].split(",")
    families = sorted(int(f) for f in options["--families"].split(","))

    calls = seccomp.SyscallFilter(defaction=seccomp.KILL_PROCESS)
    for name in syscalls:
        try:
            calls.add_rule(seccomp.ALLOW, name)
        except (RuntimeError, ValueError, OSError):
            pass  # A call this architecture does not have.

    # As systemd builds it: every family below the first listed, above the
    # last, and between them unlisted is refused.
    sockets = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
    refused = seccomp.ERRNO(errno.EAFNOSUPPORT)
    sockets.add_rule(refused, "socket", seccomp.Arg(0, seccomp.LT, families[0]))
    sockets.add_rule(refused, "socket", seccomp.Arg(0, seccomp.GT, families[-1]))
    for family in range(families[0] + 1, families[-1]):
        if family not in families:
            sockets.add_rule(refused, "socket", seccomp.Arg(0, seccomp.EQ, family))

    sockets.load()
    calls.load()
    os.execv(command[0], command)


if __name__ == "__main__":
    main(sys.argv)
