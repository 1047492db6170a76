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


def described(code, store, architecture="x86_64", features=(), device="flash"):
    return dict(DESCRIPTOR, mapping={"device": device, "executable": {"filename": code},
                                     "nvram-template": {"filename": store}},
                targets=[{"architecture": architecture}], features=list(features))


# The archive's suites: each package's version, source, Depends, files (bytes, or a link's
# target) and descriptors. trixie ships ovmf whole; forky splits it, as Debian's 2026.08 does:
# ovmf is empty and depends on the package with the files, one with a firmware in memory, one the
# suite lacks, and a library of another source; ovmf-ia32 is gone.
ARCHIVE = {
    "trixie": {"ovmf": ("2025.02-8", "", "", {
        "usr/share/OVMF/CODE.real.fd": b"\x01" * 8192,
        "usr/share/OVMF/CODE.fd": "/usr/share/OVMF/CODE.real.fd",
        "usr/share/OVMF/VARS.fd": b"\x02" * 4096}, {"60-edk2-x86_64": DESCRIPTOR})},
    "forky": {
        "ovmf": ("2026.08+ds-2", "edk2", "ovmf-amdsev, ovmf-generic (>= 2026.08), "
                 "ovmf-inteltdx, libfirmware1 | libother", {}, {}),
        "ovmf-generic": ("2026.08+ds-2", "edk2", "ovmf-generic", {
            "usr/share/OVMF/OVMF_CODE_4M.fd": b"\x03" * 8192,
            "usr/share/OVMF/OVMF_VARS_4M.fd": b"\x04" * 4096}, {
            "60-edk2-x86_64": described("../../OVMF/OVMF_CODE_4M.fd",
                                        "../../OVMF/OVMF_VARS_4M.fd", features=["acpi-s3"]),
            "40-edk2-x86_64-secure-enrolled": described(
                "/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd",
                features=["enrolled-keys", "requires-smm", "secure-boot"])}),
        "ovmf-amdsev": ("2026.08+ds-2", "edk2 (2026.08+ds-2)", "", {
            "usr/share/ovmf/OVMF.amdsev.fd": b"\x05" * 4096}, {
            "60-edk2-x86_64-amdsev": described("/usr/share/ovmf/OVMF.amdsev.fd",
                                               "/usr/share/ovmf/OVMF.amdsev.fd",
                                               device="memory")}),
        "libfirmware1": ("1.0-1", "firmwarelib", "libc6", {"usr/lib/libfirmware.so.1": b"x"},
                         {}),
        "qemu-efi-aarch64": ("2026.08+ds-2", "edk2", "", {
            "usr/share/AAVMF/AAVMF_CODE.fd": b"\x06" * 4096,
            "usr/share/AAVMF/AAVMF_VARS.fd": b"\x07" * 4096}, {
            "60-edk2-aarch64": described("/usr/share/AAVMF/AAVMF_CODE.fd",
                                         "/usr/share/AAVMF/AAVMF_VARS.fd", "aarch64")})},
}


class FakeApt:
    """apt-get for an archive whose "nosuch" suite does not exist and whose other suites are
    ARCHIVE's (any other has trixie's packages)."""

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
        package, suite = command[-1].split("/")
        if package not in ARCHIVE.get(suite, ARCHIVE["trixie"]):
            return 100, f"E: Unable to locate package {package}"
        version, source, depends, files, descriptors = ARCHIVE.get(suite,
                                                                   ARCHIVE["trixie"])[package]
        tree = Path(tempfile.mkdtemp(dir=self.work))
        (tree / "DEBIAN").mkdir()
        (tree / "DEBIAN/control").write_text(
            f"Package: {package}\nVersion: {version}\nArchitecture: all\nMaintainer: t <t@t>\n"
            + (f"Source: {source}\n" if source else "")
            + (f"Depends: {depends}\n" if depends else "") + "Description: t\n")
        for path, content in files.items():
            (tree / path).parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, str):
                (tree / path).symlink_to(content)
            else:
                (tree / path).write_bytes(content)
        for stem, descriptor in descriptors.items():
            (tree / "usr/share/qemu/firmware").mkdir(parents=True, exist_ok=True)
            (tree / f"usr/share/qemu/firmware/{stem}.json").write_text(json.dumps(descriptor))
        subprocess.run(["dpkg-deb", "-b", "-Zgzip", str(tree),
                        str(cwd / f"{package}_{version}_all.deb")],
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

    def test_a_split_release_brings_the_packages_its_firmware_depends_on(self):
        with contextlib.redirect_stdout(io.StringIO()) as shown:
            self.assertEqual(main.run(["--firmware", "forky:ovmf", "--show-firmware",
                                       "--install"]), 0)
        tree = self.work / "cache/releases/forky/root"
        self.assertIn(f"code: {tree}/usr/share/OVMF/OVMF_CODE_4M.fd (raw, from ovmf-generic "
                      "2026.08+ds-2)\n", shown.getvalue())
        self.assertIn(f"factory: {tree}/usr/share/OVMF/OVMF_VARS_4M.fd (raw, from ovmf-generic "
                      "2026.08+ds-2)\n", shown.getvalue())
        # Dependencies are followed within the source, once each; one the release lacks and a
        # library of another source are left out, and the library's own are not followed.
        downloaded = [command[-1] for command in self.apt.commands if "download" in command]
        self.assertEqual(downloaded, [f"{package}/forky" for package in (
            "ovmf", "ovmf-ia32", "qemu-efi-aarch64", "efi-shell-x64", "efi-shell-aa64",
            "ovmf-amdsev", "ovmf-generic", "ovmf-inteltdx", "libfirmware1")])
        self.assertEqual(sorted(releases.recorded("forky")["versions"]),
                         ["ovmf", "ovmf-amdsev", "ovmf-generic", "qemu-efi-aarch64"])
        # The short names stand for what the release ships, whatever package holds it.
        for name, stem in (("ovmf", "60-edk2-x86_64"), ("aavmf", "60-edk2-aarch64"),
                           ("ovmf-secure", "40-edk2-x86_64-secure-enrolled")):
            with self.subTest(name=name):
                chosen = releases.resolve("forky", name)
                self.assertEqual((Path(chosen.descriptor).stem, chosen.version),
                                 (stem, "ovmf-generic 2026.08+ds-2" if name != "aavmf"
                                  else "qemu-efi-aarch64 2026.08+ds-2"))
        with contextlib.redirect_stderr(io.StringIO()) as refused:
            self.assertEqual(main.main(["--firmware", "forky:ovmf-ia32", "--", "/g", "X"]), 125)
        self.assertEqual(refused.getvalue(),
                         "uefi-vm: forky:ovmf-ia32: forky's firmware has no ovmf-ia32 (one of "
                         "ovmf, ovmf-secure, aavmf, 40-edk2-x86_64-secure-enrolled, "
                         "60-edk2-aarch64, 60-edk2-x86_64)\n")
        listed = [line for line in firmware.listing() if line.startswith("forky:")]
        self.assertRegex(listed[0], r"^forky:ovmf-secure +x86_64 +there +enrolled-keys,.*"
                                    r"\(forky's 40-edk2-x86_64-secure-enrolled.json, "
                                    r"ovmf-generic 2026.08\+ds-2\)$")
        self.assertRegex(listed[-1], r"^forky:60-edk2-x86_64-amdsev +- +- +- +not for this "
                                     r"harness: maps the firmware to memory; .* "
                                     r"\(ovmf-amdsev 2026.08\+ds-2\)$")
        self.assertEqual(len(listed), 4)

    def test_a_release_fetched_by_an_older_harness_is_fetched_again(self):
        old = self.work / "cache/releases/forky"
        (old / "firmware").mkdir(parents=True)
        (old / "packages.json").write_text('{"versions": {"ovmf": "2026.08+ds-2"}, '
                                           '"descriptors": {}}')
        with self.assertRaisesRegex(Failure, "forky's firmware is not fetched yet"):
            provision.chosen_firmware("forky:ovmf", None, None, False)
        chosen, _ = provision.chosen_firmware("forky:ovmf", None, None, True)
        self.assertEqual(chosen.version, "ovmf-generic 2026.08+ds-2")

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
