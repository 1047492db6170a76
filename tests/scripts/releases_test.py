"""Another release's firmware through --firmware RELEASE:NAME: apt stands in as a function that
builds a small package with dpkg-deb, so nothing is downloaded and the machine's apt is not run."""

import contextlib
import io
import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from uefi_vm import firmware, main, paths, provision, releases
from uefi_vm.errors import Failure

DESCRIPTOR = {
    "description": "UEFI firmware for x86_64", "interface-types": ["uefi"],
    "mapping": {"device": "flash",
                "executable": {"filename": "/usr/share/OVMF/CODE.fd", "format": "raw"},
                "nvram-template": {"filename": "../../OVMF/VARS.fd", "format": "raw"}},
    "targets": [{"architecture": "x86_64", "machines": ["pc-q35-*"]}], "features": [],
}


class FakeApt:
    """apt-get for an archive whose "nosuch" suite does not exist and whose other suites have
    ovmf only: ovmf's package holds a descriptor, its two files and an absolute link to one."""

    def __init__(self, work: Path):
        self.work, self.commands = work, []
        self.sources = work / "debian.sources"
        self.sources.write_text("Types: deb\nURIs: http://archive.test/debian\nSuites: bookworm\n"
                                "Components: main\nSigned-By: /keys/archive.gpg\n")

    def __call__(self, command, cwd):
        self.commands.append(list(command))
        if "indextargets" in command:
            return 0, (f"http://archive.test/debian/ bookworm {self.sources}:1\n"
                       f"http://archive.test/debian/ bookworm-updates {self.sources}:1\n")
        listed = Path(command[command.index("-o") + 1].split("=", 1)[1]).read_text()
        if command[-1] == "update":
            if "Suites: nosuch" in listed:
                return 100, "E: The repository 'http://archive.test/debian nosuch Release' does " \
                            "not have a Release file."
            return 0, ""
        if not command[-1].startswith("ovmf/"):
            return 100, f"E: Unable to locate package {command[-1].split('/')[0]}"
        tree = Path(tempfile.mkdtemp(dir=self.work))
        (tree / "DEBIAN").mkdir()
        (tree / "DEBIAN/control").write_text("Package: ovmf\nVersion: 2025.02-8\n"
                                             "Architecture: all\nMaintainer: t <t@t>\n"
                                             "Description: t\n")
        (tree / "usr/share/OVMF").mkdir(parents=True)
        (tree / "usr/share/OVMF/CODE.real.fd").write_bytes(b"\x01" * 8192)
        (tree / "usr/share/OVMF/CODE.fd").symlink_to("/usr/share/OVMF/CODE.real.fd")
        (tree / "usr/share/OVMF/VARS.fd").write_bytes(b"\x02" * 4096)
        (tree / "usr/share/qemu/firmware").mkdir(parents=True)
        (tree / "usr/share/qemu/firmware/60-edk2-x86_64.json").write_text(json.dumps(DESCRIPTOR))
        subprocess.run(["dpkg-deb", "-b", "-Zgzip", str(tree), str(cwd / "ovmf.deb")],
                       check=True, capture_output=True)
        return 0, ""


class Releases(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp())
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.work)])
        self.apt = FakeApt(self.work)
        for patch in (mock.patch.object(paths, "cache", lambda: self.work / "cache"),
                      mock.patch.object(releases, "apt", self.apt),
                      mock.patch.object(releases, "host_release", lambda: "bookworm"),
                      mock.patch.object(firmware, "search_path", lambda: [])):
            patch.start()
            self.addCleanup(patch.stop)

    def test_a_fetched_release_gives_its_firmware_from_the_cache(self):
        with self.assertRaisesRegex(Failure, "^trixie:ovmf: trixie's firmware is not fetched yet "
                                    r"\(fetch it with: .* --firmware trixie:ovmf --install"):
            provision.chosen_firmware("trixie:ovmf", None, None, False)
        # --show-firmware --install fetches it first, as a run does.
        with contextlib.redirect_stdout(io.StringIO()) as shown:
            self.assertEqual(main.run(["--firmware", "trixie:ovmf", "--show-firmware",
                                       "--install"]), 0)
        self.assertIn("package: ovmf 2025.02-8\n", shown.getvalue())
        chosen, _ = provision.chosen_firmware("trixie:ovmf", None, None, False)
        tree = self.work / "cache/releases/trixie/root"
        self.assertEqual((chosen.name, chosen.release, chosen.version, chosen.options()),
                         ("trixie:ovmf", "trixie", "ovmf 2025.02-8", ["--firmware", "trixie:ovmf"]))
        self.assertEqual(chosen.descriptor,
                         str(self.work / "cache/releases/trixie/firmware/60-edk2-x86_64.json"))
        # The descriptor's files, relative or through an absolute link, are the tree's.
        self.assertEqual((os.path.realpath(chosen.code), chosen.factory),
                         (str(tree / "usr/share/OVMF/CODE.real.fd"),
                          str(tree / "usr/share/OVMF/VARS.fd")))
        self.assertEqual(firmware.resolve("trixie:60-edk2-x86_64.json").code, chosen.code)
        self.assertIn("package: ovmf 2025.02-8", firmware.shown(chosen))
        listed = [line for line in firmware.listing() if line.startswith("trixie:")]
        self.assertEqual(len(listed), 1)
        self.assertRegex(listed[0], r"^trixie:ovmf +x86_64 +there .*\(trixie's "
                                    r"60-edk2-x86_64.json, ovmf 2025.02-8\)$")
        for name, message in (
                ("trixie:ovmf-ia32", "^trixie:ovmf-ia32: trixie's firmware has no ovmf-ia32 "
                                     r"\(one of ovmf, 60-edk2-x86_64\)$"),
                ("trixie:bios", "^trixie:bios: trixie's firmware has no bios")):
            with self.subTest(name=name), self.assertRaisesRegex(Failure, message):
                provision.chosen_firmware(name, None, None, True)

    def test_an_unknown_release_is_refused(self):
        with self.assertRaisesRegex(Failure, r"^unknown release: nosuch \(the archive "
                                             r"http://archive.test/debian/ has no suite nosuch\)$"):
            provision.chosen_firmware("nosuch:ovmf", None, None, True)
        self.assertEqual(os.listdir(self.work / "cache/releases"), ["nosuch.lock"])

    def test_apt_runs_on_its_own_sources_lists_and_cache(self):
        provision.chosen_firmware("trixie:ovmf", None, None, True)
        state = self.work / "cache/releases/.trixie.new/apt"
        private = ["-c", f"{state}/apt.conf",
                   "-o", f"Dir::Etc::sourcelist={state}/release.sources",
                   "-o", "Dir::Etc::sourceparts=/nonexistent",
                   "-o", f"Dir::State::Lists={state}/lists", "-o", f"Dir::Cache={state}/cache"]
        self.assertEqual(self.apt.commands[1:], [
            ["apt-get", *private, "update"],
            *(["apt-get", *private, "download", f"{package}/trixie"]
              for package in releases.PACKAGES)])
        self.assertNotIn("Dir::State::status", " ".join(map(" ".join, self.apt.commands)))
        self.assertEqual(releases.sources("http://archive.test/debian/", "trixie",
                                          releases.signed_by(f"{self.apt.sources}:1")),
                         "Types: deb\nURIs: http://archive.test/debian/\nSuites: trixie\n"
                         f"Components: main\nArchitectures: {releases.native()}\n"
                         "Targets: Packages\nSigned-By: /keys/archive.gpg\n")
        self.assertIn("#clear APT::Update::Post-Invoke-Success;", releases.PRIVATE_CONFIG)


if __name__ == "__main__":
    unittest.main()
