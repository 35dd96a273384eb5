#!/usr/bin/env python3
"""The bridge as a service manager sees it, started by root: READY=1 and
the status line through the notification socket (a path, as systemd's own
is) while traffic flows both ways and the device goes and comes back, and
not one capability left in any of its threads while it runs."""

import os
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
        # Still root, with root's groups: only the capabilities went.
        self.assertEqual(rights["Uid"], ["0"] * 4)
        self.assertEqual(rights["Gid"], ["0"] * 4)


if __name__ == "__main__":
    lab_.run_tests()
