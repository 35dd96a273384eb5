"""Network namespaces: entering one from a thread, running ip(8), reading
an interface's index and Ethernet address."""

import contextlib
import ctypes
import os
import subprocess


_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNET = 0x40000000


@contextlib.contextmanager
def network_namespace(name):
    """Runs the block with this thread in the named network namespace: sockets
    made there stay in it."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if _libc.setns(target, _CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns into {name}")
        yield
    finally:
        _libc.setns(own, _CLONE_NEWNET)
        os.close(own)
        os.close(target)


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True)


def ns_path(namespace):
    """The file that names a network namespace made by `ip netns add`."""
    return f"/run/netns/{namespace}"


def set_sysctl(namespace, setting):
    subprocess.run(["nsenter", f"--net={ns_path(namespace)}", "sysctl", "-qw", setting], check=True)


def interface_index(namespace, link):
    shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                           capture_output=True, text=True, check=True).stdout
    return int(shown.split(":", 1)[0])


def link_mac(namespace, link):
    """The link's Ethernet address, as 6 bytes."""
    shown = subprocess.run(["ip", "-n", namespace, "-o", "link", "show", "dev", link],
                           capture_output=True, text=True, check=True).stdout
    return bytes.fromhex(shown.split("link/ether ", 1)[1].split()[0].replace(":", ""))
