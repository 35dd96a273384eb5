#!/usr/bin/env python3
"""The Debian package as a user meets it. It is built from this build
(cpack), installed with dpkg -i into a throwaway root, and the installed
bridge is run from there as its unit runs it, with the simulated device:

  - the throwaway root is this machine's own system under a copy-on-write
    layer (overlayfs over /, in the lab's private mount namespace, with the
    lab's /dev, /sys and hosts file): dpkg installs into it as into any
    Debian system, maintainer scripts included, and nothing of it is left;
  - systemd does not run here, so what the unit gives the bridge is given
    by service.unit_command(), read from the installed unit: its user and
    groups, CAP_NET_RAW alone, no_new_privs, and its system call and
    address family filters. systemd-analyze checks the unit itself;
  - lintian checks the package by Debian's rules: no error, no warning;
  - the maintainer scripts also run as where systemd runs, with a
    systemctl that only notes what it is asked.
"""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import lab as lab_
import service

PACKAGE = "artnet-serial-bridge"
UNIT = f"/usr/lib/systemd/system/{PACKAGE}.service"
DOC = f"/usr/share/doc/{PACKAGE}"
FILES = {"/usr/bin/artnet-serial-bridge", UNIT, f"{DOC}/README.md", f"{DOC}/copyright", f"{DOC}/changelog.gz",
         f"/usr/share/man/man8/{PACKAGE}.8.gz"}
WANTS = f"/etc/systemd/system/multi-user.target.wants/{PACKAGE}.service"
# What a systemctl that only notes its calls writes, where systemd would run.
SYSTEMCTL_STUB = """#!/bin/sh
echo "$*" >>/run/systemctl-calls
"""
# systemd-analyze security's ratings from "OK" up (exposure below 5.0).
GOOD_RATINGS = ("OK", "SAFE", "PERFECT")

# Mounted in the lab's mount namespace: the root, its layers, and what a
# running system has beside its files.
MAKE_ROOT = r"""
set -e
top=$1 hosts=$2
mount -t tmpfs -o mode=0755 artnet-root "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay artnet-root -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
root=$top/root
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=0755 run "$root/run"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"
mount --bind "$hosts" "$root/etc/hosts"
"""


def build_package(directory):
    """Runs cpack on this build; returns the .deb's path."""
    subprocess.run(["cpack", "-G", "DEB", "-B", directory], cwd=lab_.BUILD_DIR, check=True,
                   capture_output=True)
    packages = glob.glob(os.path.join(directory, "*.deb"))
    if len(packages) != 1:
        raise RuntimeError(f"cpack made {packages}")
    return packages[0]


class InstalledPackage(service.ServiceCase):
    notify_address = f"@artnet-notify-{os.getpid()}"

    @classmethod
    def prepare(cls):
        cls.scratch = tempfile.mkdtemp(prefix="artnet-package-")
        cls.deb = build_package(cls.scratch)
        top = os.path.join(cls.lab.directory, "throwaway")
        os.mkdir(top)
        holder = str(cls.lab.holder.pid)
        cls.enter_mounts = ["nsenter", "-t", holder, "-m", "--"]
        subprocess.run([*cls.enter_mounts, "sh", "-c", MAKE_ROOT, "make-root", top, cls.lab.hosts_path], check=True)
        cls.root = os.path.join(top, "root")
        # The root as this process sees it, from outside its mount namespace.
        cls.files = f"/proc/{holder}/root{cls.root}"
        cls.in_root = [*cls.enter_mounts, "chroot", cls.root]
        shutil.copy(cls.deb, os.path.join(cls.files, "tmp"))
        cls.installed = cls.run_in_root("dpkg", "-i", "/tmp/" + os.path.basename(cls.deb))
        if cls.installed.returncode != 0:
            raise RuntimeError(f"dpkg -i failed:\n{cls.installed.stdout}{cls.installed.stderr}")
        cls.unit = service.Unit(cls.files + UNIT)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        if getattr(cls, "scratch", None):
            shutil.rmtree(cls.scratch, ignore_errors=True)

    @classmethod
    def run_in_root(cls, *command):
        return subprocess.run([*cls.in_root, *command], capture_output=True, text=True)

    @classmethod
    def bind_device(cls, pty):
        lab_.bind_port(pty, enter=cls.in_root)
        # As udev makes a serial port: root's, and dialout's to read and write.
        subprocess.run([*cls.in_root, "sh", "-c", "chown root:dialout /dev/ttyUSB0 && chmod 0660 /dev/ttyUSB0"],
                       check=True)

    @classmethod
    def unbind_device(cls):
        lab_.unbind_port(enter=cls.in_root)

    @classmethod
    def start_bridge(cls, environment):
        environment = {**environment, "USER": cls.unit.get("User"), "HOME": "/nonexistent"}
        command = service.unit_command(cls.unit, enter=["nsenter", "-t", str(cls.lab.holder.pid), "-n", "-m", "-u",
                                                       "--"], root=cls.root, files=cls.files)
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=environment)
        cls.lab.processes.append(process)
        return lab_.Bridge(process)

    def account(self):
        """The unit's user, as the root's /etc/passwd has it."""
        with open(self.files + "/etc/passwd") as passwd:
            for line in passwd:
                fields = line.rstrip("\n").split(":")
                if fields[0] == self.unit.get("User"):
                    return fields
        return None

    def check_identity(self, rights):
        account = self.account()
        self.assertEqual(rights["Uid"], [account[2]] * 4)
        self.assertEqual(rights["Gid"], [account[3]] * 4)
        self.assertIn(service.group_id(self.files, "dialout"), rights["Groups"])
        # All it could ever regain: nothing but CAP_NET_RAW, and that never,
        # under no_new_privs and the unit's filters.
        self.assertEqual(rights["CapBnd"], service.mask(["CAP_NET_RAW"]))
        self.assertEqual(rights["Seccomp"], 2)

    def test_0a_package_holds_the_bridge_the_unit_and_the_readme(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], check=True, capture_output=True,
                                 text=True).stdout
        files = {line.split()[-1].lstrip(".") for line in listing.splitlines() if not line.startswith("d")}
        self.assertEqual(files, FILES)
        control = subprocess.run(["dpkg-deb", "--field", self.deb, "Package", "Version", "Depends"], check=True,
                                 capture_output=True, text=True).stdout
        self.assertIn(f"Package: {PACKAGE}\nVersion: {service.built_version()}\n", control)
        self.assertRegex(control, r"Depends: .*\badduser\b")
        self.assertRegex(control, r"Depends: .*\blibc6\b")

    def test_0d_documents_as_debian_asks(self):
        listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", self.deb], check=True, capture_output=True).stdout
        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["tar", "-x", "-C", unpacked], input=listing, check=True)
            # The copyright file in Debian's machine-readable format, with the
            # licence's terms as LICENSE has them.
            with open(unpacked + f"{DOC}/copyright") as copyright_file:
                copyright_text = copyright_file.read()
            with open(os.path.join(lab_.SOURCE_DIR, "LICENSE")) as license_file:
                license_text = license_file.read()
            self.assertTrue(copyright_text.startswith(
                "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"), copyright_text)
            self.assertIn("\nCopyright: 2026 artnet-serial-bridge developers\nLicense: Expat\n", copyright_text)
            terms = copyright_text.split("License: Expat\n", 1)[1]
            unfolded = "\n".join("" if line == " ." else line[1:] for line in terms.rstrip("\n").split("\n"))
            self.assertEqual(unfolded, license_text.split("\n\n", 2)[2].rstrip("\n"))
            # The changelog's latest entry is this version.
            with gzip.open(unpacked + f"{DOC}/changelog.gz", "rt") as changelog:
                first = changelog.readline()
            self.assertRegex(first, rf"^{PACKAGE} \({re.escape(service.built_version())}\) ")
            # The manual page renders without a warning.
            rendered = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                                       unpacked + f"/usr/share/man/man8/{PACKAGE}.8.gz"],
                                      capture_output=True, text=True, env={**os.environ, "MANROFFSEQ": ""})
            self.assertEqual((rendered.returncode, rendered.stderr), (0, ""))

    def test_0e_lintian_finds_no_error_and_no_warning(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        checked = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb], capture_output=True, text=True)
        tags = [line for line in checked.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual((checked.returncode, tags), (0, []), checked.stdout + checked.stderr)

    def test_0b_install_makes_the_user_and_enables_nothing(self):
        account = self.account()
        self.assertIsNotNone(account, "no user for the unit")
        self.assertLess(int(account[2]), 1000, "not a system user")
        self.assertEqual(account[6], "/usr/sbin/nologin")
        with open(self.files + "/etc/group") as group:
            dialout = [line for line in group if line.startswith("dialout:")][0]
        self.assertIn(self.unit.get("User"), dialout.rstrip("\n").split(":")[3].split(","))
        self.assertEqual(self.unit.get("ExecStart"), "/usr/bin/artnet-serial-bridge")
        enabled = glob.glob(self.files + f"/etc/systemd/system/**/{PACKAGE}.service", recursive=True)
        self.assertEqual(enabled, [], "the package enabled the unit")
        # Its rights come from the unit alone: no file capabilities.
        caps = subprocess.run(["getfattr", "-n", "security.capability", self.files + "/usr/bin/artnet-serial-bridge"],
                              capture_output=True, text=True) if shutil.which("getfattr") else None
        if caps is not None:
            self.assertNotEqual(caps.returncode, 0, caps.stdout)

    def test_0c_unit_verifies_and_rates_ok(self):
        verify = self.run_in_root("systemd-analyze", "verify", f"{PACKAGE}.service")
        self.assertEqual((verify.returncode, verify.stdout + verify.stderr), (0, ""))
        security = self.run_in_root("systemd-analyze", "security", "--offline=yes", f"{PACKAGE}.service")
        overall = re.search(r"Overall exposure level for \S+: ([0-9.]+) (\w+)", security.stdout)
        self.assertIsNotNone(overall, security.stdout + security.stderr)
        print(f"\nsystemd-analyze security: {overall.group(1)} {overall.group(2)}")
        self.assertIn(overall.group(2), GOOD_RATINGS, security.stdout)

    def test_6b_started_by_root_it_becomes_the_package_user(self):
        # As an administrator starts the installed bridge by hand: as root.
        # Once running it is the package's user in dialout, with nothing to
        # regain; then the device is replugged, and found again as that user.
        environment = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}
        environment.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        before = len(self.device.received())
        inside = ["nsenter", "-t", str(self.lab.holder.pid), "-n", "-m", "-u", "--"]
        process = subprocess.Popen([*inside, "chroot", self.root, "/usr/bin/" + PACKAGE],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment)
        self.lab.processes.append(process)
        bridge = lab_.Bridge(process)
        self.assertEqual(bridge.wait_output(service.STARTED), service.STARTED)
        pid = process.pid
        rights = lab_.wait_until(lambda: len(service.thread_rights(pid)) >= 5 and service.thread_rights(pid))
        self.assertTrue(rights, "the bridge's threads did not all start")
        account = self.account()
        for thread, held in rights.items():
            self.assertEqual(held["Uid"], [account[2]] * 4, f"thread {thread}")
            self.assertEqual(held["Gid"], [account[3]] * 4, f"thread {thread}")
            self.assertEqual(held["Groups"], [service.group_id(self.files, "dialout")], f"thread {thread}")
            self.assertEqual({k: held[k] for k in ("CapInh", "CapPrm", "CapEff", "CapAmb", "NoNewPrivs")},
                             {"CapInh": 0, "CapPrm": 0, "CapEff": 0, "CapAmb": 0, "NoNewPrivs": 1},
                             f"thread {thread}")
        probe = self.device.wait_received(before + len(lab_.ART_POLL_PROBE))[before:]
        self.assertEqual(probe.hex(), lab_.ART_POLL_PROBE.hex())
        self.device.stop()
        self.assertEqual(bridge.wait_output(service.STARTED + service.DEVICE_LOST),
                         service.STARTED + service.DEVICE_LOST)
        self.unbind_device()
        type(self).device = self.plug()
        self.assertEqual(self.device.wait_received(len(lab_.ART_POLL_PROBE)).hex(), lab_.ART_POLL_PROBE.hex())
        expected = service.STARTED + service.DEVICE_LOST + service.DEVICE_BACK
        self.assertEqual(bridge.wait_output(expected), expected)
        process.terminate()
        self.assertEqual(bridge.wait_exit(), 0)
        self.assertEqual(bridge.stderr.data(), b"")

    def test_7_purge_takes_the_unit_and_its_enabling(self):
        # The README's command, as far as it works without a running systemd.
        enable = self.run_in_root("systemctl", "enable", f"{PACKAGE}.service")
        self.assertEqual(enable.returncode, 0, enable.stderr)
        wants = self.files + f"/etc/systemd/system/multi-user.target.wants/{PACKAGE}.service"
        self.assertTrue(os.path.islink(wants), enable.stderr)
        purge = self.run_in_root("dpkg", "--purge", PACKAGE)
        self.assertEqual(purge.returncode, 0, purge.stdout + purge.stderr)
        self.assertFalse(os.path.lexists(wants), "the enabling outlived the package")
        for path in FILES:
            self.assertFalse(os.path.exists(self.files + path), path)

    def test_8_where_systemd_runs_install_starts_nothing_and_purge_stops(self):
        # systemd's mark that it runs, a systemctl that notes its calls, and
        # no policy-rc.d (a container's may forbid every start and stop).
        os.makedirs(self.files + "/run/systemd/system")
        stub = self.files + "/run/systemctl-stub"
        with open(stub, "w") as script:
            script.write(SYSTEMCTL_STUB)
        os.chmod(stub, 0o755)
        subprocess.run([*self.enter_mounts, "mount", "--bind", self.root + "/run/systemctl-stub",
                        self.root + "/usr/bin/systemctl"], check=True)
        if os.path.lexists(self.files + "/usr/sbin/policy-rc.d"):
            os.unlink(self.files + "/usr/sbin/policy-rc.d")
        deb = "/tmp/" + os.path.basename(self.deb)

        def actions():
            """What systemctl was asked to do to units since the last look.
            Reloads, which deb-systemd-helper also asks for when it changed
            links, must have come too."""
            try:
                with open(self.files + "/run/systemctl-calls") as noted:
                    lines = noted.read().splitlines()
                os.unlink(self.files + "/run/systemctl-calls")
            except FileNotFoundError:
                lines = []
            self.assertIn("--system daemon-reload", lines)
            return [line for line in lines if not line.endswith("daemon-reload")]

        def run(*command):
            done = self.run_in_root(*command)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

        run("dpkg", "-i", deb)
        self.assertEqual(actions(), [], "installing started something")
        self.assertFalse(os.path.lexists(self.files + WANTS), "installing enabled the unit")
        # The administrator enables it, as "systemctl enable" does; an
        # upgrade (the same version again) restarts it if it runs, and keeps
        # it enabled.
        os.makedirs(os.path.dirname(self.files + WANTS), exist_ok=True)
        os.symlink(UNIT, self.files + WANTS)
        run("dpkg", "-i", deb)
        self.assertEqual(actions(), [f"try-restart {PACKAGE}.service"])
        self.assertTrue(os.path.islink(self.files + WANTS), "the upgrade took the enabling")
        # A purge stops it, lets systemd forget it and takes the enabling.
        run("dpkg", "--purge", PACKAGE)
        self.assertEqual(actions(), [f"stop {PACKAGE}.service"])
        self.assertFalse(os.path.lexists(self.files + WANTS), "the enabling outlived the package")


if __name__ == "__main__":
    lab_.require_lab(programs=(lab_.BRIDGE, lab_.SIMULATOR))
    for tool in ("cpack", "dpkg", "dpkg-deb", "chroot", "setpriv", "systemd-analyze", "systemctl"):
        if shutil.which(tool) is None:
            lab_.skip(f"{tool} is not installed")
    if subprocess.run(["/usr/bin/python3", "-c", "import seccomp"], capture_output=True).returncode != 0:
        lab_.skip("python3-seccomp is not installed (the unit's system call filter)")
    if "overlay" not in open("/proc/filesystems").read():
        subprocess.run(["modprobe", "overlay"], capture_output=True)
        if "overlay" not in open("/proc/filesystems").read():
            lab_.skip("no overlayfs for the throwaway root")
    lab_.stop_on_sigterm()
    unittest.main(verbosity=2)
