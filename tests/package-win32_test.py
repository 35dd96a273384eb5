#!/usr/bin/env python3
"""The Windows release zip, as cpack makes it from this build, and the .exe
in it: the zip holds the .exe, README.txt and LICENSE.txt, nothing else; the .exe
carries its manifest (administrator rights, the Windows versions it
supports) and its version resource, and imports only Windows' own DLLs, so
that nothing else need be installed. No Wine needed: objdump reads it."""

import os
import re
import struct
import subprocess
import tempfile
import unittest
import zipfile

import lab as lab_

# DLLs every Windows has, in its system directory.
# iphlpapi.dll: the adapters and their changes (GetAdaptersAddresses, NotifyUnicastIpAddressChange).
SYSTEM_DLLS = {"advapi32.dll", "iphlpapi.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "winmm.dll", "ws2_32.dll"}
# The supportedOS ids of Windows 7, 8, 8.1, and 10 and 11.
SUPPORTED_OS = ["35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]
RT_VERSION = 0x10
RT_MANIFEST = 0x18


def cache_value(name):
    with open(os.path.join(lab_.BUILD_DIR, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise KeyError(name)


def utf16(text):
    return text.encode("utf-16-le")


class ReleaseZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = cache_value("CMAKE_PROJECT_VERSION")
        cls.scratch = tempfile.TemporaryDirectory(prefix="artnet-zip-")
        subprocess.run(["cpack", "-G", "ZIP", "-B", cls.scratch.name], cwd=lab_.BUILD_DIR, check=True,
                       capture_output=True)
        cls.name = f"artnet-serial-bridge-{cls.version}-windows-x64"
        cls.zip = zipfile.ZipFile(os.path.join(cls.scratch.name, cls.name + ".zip"))
        cls.exe = os.path.join(cls.scratch.name, "artnet-serial-bridge.exe")
        with open(cls.exe, "wb") as exe:
            exe.write(cls.zip.read(f"{cls.name}/artnet-serial-bridge.exe"))

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()
        cls.scratch.cleanup()

    def objdump(self):
        return subprocess.run([cache_value("CMAKE_OBJDUMP"), "-p", self.exe], check=True, capture_output=True,
                              text=True).stdout

    def resources(self):
        """The .exe's resource section, as bytes."""
        section = os.path.join(self.scratch.name, "rsrc.bin")
        subprocess.run([cache_value("CMAKE_OBJCOPY"), "-O", "binary", "--only-section=.rsrc", self.exe, section],
                       check=True)
        with open(section, "rb") as data:
            return data.read()

    def test_zip_holds_the_exe_the_readme_and_the_licence_alone(self):
        self.assertEqual(sorted(self.zip.namelist()),
                         [f"{self.name}/LICENSE.txt", f"{self.name}/README.txt",
                          f"{self.name}/artnet-serial-bridge.exe"])
        with open(os.path.join(lab_.SOURCE_DIR, "LICENSE"), "rb") as license_file:
            self.assertEqual(self.zip.read(f"{self.name}/LICENSE.txt"), license_file.read().replace(b"\n", b"\r\n"))

    def test_readme_in_both_languages_for_notepad(self):
        data = self.zip.read(f"{self.name}/README.txt")
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), "no UTF-8 byte order mark")
        self.assertNotRegex(data, rb"[^\r]\n", "a line not ended by CR LF")
        text = data.decode("utf-8-sig")
        self.assertIn(f"artnet-serial-bridge {self.version}", text)
        for words in ("以管理员身份运行", "Run as administrator", "窗口标题", "The window's title"):
            self.assertIn(words, text)
        # Every start-up failure's message, both halves.
        for key in ("NeedAdministrator", "NetworkInitFailed", "NoDeviceFound"):
            chinese, english = re.split(r"\.? +", lab_.MESSAGES[key], maxsplit=1)
            self.assertIn(chinese, text)
            self.assertIn(english.split("    code")[0].rstrip(), text)

    def test_imports_only_windows_own_dlls(self):
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.objdump())}
        self.assertIn("kernel32.dll", dlls)
        self.assertEqual(dlls - SYSTEM_DLLS, set())

    def test_manifest_asks_for_administrator_rights(self):
        # The resource directory's first level: one entry per type.
        table = self.objdump().split("The .rsrc Resource Directory section:")[1]
        types = {int(entry, 16) for entry in re.findall(r"^\S+   Entry: ID: (0x[0-9a-f]+)", table, re.M)}
        self.assertEqual(types, {RT_VERSION, RT_MANIFEST})
        data = self.resources()
        manifest = data[data.index(b"<?xml"):data.index(b"</assembly>") + len(b"</assembly>")].decode()
        self.assertRegex(manifest, r'<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>')
        for os_id in SUPPORTED_OS:
            self.assertIn(f'<supportedOS Id="{{{os_id}}}"/>', manifest)

    def test_version_resource_names_the_product_and_its_version(self):
        data = self.resources()
        for key, value in (("ProductName", "artnet-serial-bridge"), ("ProductVersion", self.version),
                           ("FileVersion", self.version), ("OriginalFilename", "artnet-serial-bridge.exe")):
            self.assertRegex(data, re.escape(utf16(key)) + rb"(\x00\x00)+" + re.escape(utf16(value) + b"\x00\x00"),
                             key)
        self.assertIn(utf16("FileDescription"), data)
        # VS_FIXEDFILEINFO: its signature, its structure version, then the
        # file version's and the product version's numbers.
        fixed = data.index(struct.pack("<I", 0xFEEF04BD))
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", data, fixed + 8)
        major, minor, patch = (int(part) for part in self.version.split("."))
        self.assertEqual((file_ms, file_ls), (major << 16 | minor, patch << 16))
        self.assertEqual((product_ms, product_ls), (file_ms, file_ls))


if __name__ == "__main__":
    unittest.main(verbosity=2)
