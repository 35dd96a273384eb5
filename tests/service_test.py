#!/usr/bin/env python3
"""The bridge as a service manager sees it, started by root: READY=1 and
the status line through the notification socket (a path, as systemd's own
is) while traffic flows both ways and the device goes and comes back, and
in every one of its threads, once it runs, root no more: an unprivileged
user (the package's where it exists, else nobody) in the group dialout,
with not one capability. The device it finds again after the replug, it
opens as that user, by the port's permissions (root:dialout, 0660, as udev
gives a serial port, and as tools/without-serial-ports gives its ptys)."""

import grp
import os
import pwd
import subprocess
import unittest

import lab as lab_
import service


class StartedByRoot(service.ServiceCase):
    @classmethod
    def prepare(cls):
        cls.notify_address = os.path.join(cls.lab.directory, "notify")
        cls.enter_mounts = ["nsenter", "-t", str(cls.lab.holder.pid), "-m", "--"]

    @classmethod
    def bind_device(cls, pty):
        lab_.bind_port(pty, enter=cls.enter_mounts)

    @classmethod
    def unbind_device(cls):
        lab_.unbind_port(enter=cls.enter_mounts)

    @classmethod
    def start_bridge(cls, environment):
        return lab_.Bridge(cls.lab.popen_inside([lab_.BRIDGE], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                stderr=subprocess.PIPE, env=environment))

    def check_identity(self, rights):
        try:
            user = pwd.getpwnam("artnet-serial-bridge")
        except KeyError:
            user = pwd.getpwnam("nobody")
        self.assertEqual(rights["Uid"], [str(user.pw_uid)] * 4)
        self.assertEqual(rights["Gid"], [str(user.pw_gid)] * 4)
        self.assertEqual(rights["Groups"], [grp.getgrnam("dialout").gr_gid])
        # All it could regain: nothing, under no_new_privs.
        self.assertEqual(rights["NoNewPrivs"], 1)


if __name__ == "__main__":
    lab_.run_tests()
