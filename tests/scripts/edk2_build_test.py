"""bench/edk2-build without building edk2: apt stands in as in releases_test (binary packages
made with dpkg-deb, and a small source package whose debian/rules has Debian's form), and the
build as a function that writes the FV files the rules' build would, from the patched tree."""

import contextlib
import io
import subprocess
import tarfile
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import releases_test
from uefi_vm import firmware, paths, releases
from uefi_vm.bench import edk2_build
from uefi_vm.errors import Failure

# The parts of trixie's debian/rules that edk2-build reads: the rules' header with its
# prerequisites, the builds (continued lines, as Debian writes them), the files copied out of
# each, and the sizes AArch64's are truncated to.
RULES = """\
#!/usr/bin/make -f
BUILD_TYPE ?= RELEASE
OVMF_4M_NO_SECBOOT_FLAGS = $(OVMF_COMMON_FLAGS) --pcd PcdUninstallMemAttrProtocol=TRUE

build-ovmf: $(OVMF_BINARIES) $(OVMF_IMAGES) $(OVMF_PREENROLLED_VARS)
$(OVMF_BINARIES) $(OVMF_IMAGES): debian/setup-build-stamp
\trm -rf $(OVMF64_BUILD_ROOT)
\tset -e; . ./edksetup.sh; \\
\t\tbuild -a X64 \\
\t\t\t-t $(EDK2_TOOLCHAIN) \\
\t\t\t-p OvmfPkg/OvmfPkgX64.dsc \\
\t\t\t$(OVMF_4M_NO_SECBOOT_FLAGS) -b $(BUILD_TYPE)
\tcp $(OVMF64_BUILD_DIR)/X64/Shell.efi \\
\t\t$(OVMF_INSTALL_DIR)/
\tcp $(OVMF64_BUILD_DIR)/FV/OVMF_CODE.fd \\
\t\t$(OVMF_INSTALL_DIR)/OVMF_CODE_4M.fd
\tcp $(OVMF64_BUILD_DIR)/FV/OVMF_VARS.fd \\
\t\t$(OVMF_INSTALL_DIR)/OVMF_VARS_4M.fd
\tset -e; . ./edksetup.sh; \\
\t\tbuild -a X64 \\
\t\t\t-t $(EDK2_TOOLCHAIN) \\
\t\t\t-p OvmfPkg/OvmfPkgX64.dsc \\
\t\t\t$(OVMF_4M_SECBOOT_FLAGS) -b $(BUILD_TYPE)
\tcp $(OVMF64_BUILD_DIR)/FV/OVMF_CODE.fd \\
\t\t$(OVMF_INSTALL_DIR)/OVMF_CODE_4M.secboot.fd

%/OVMF_VARS_4M.ms.fd: %/OVMF_CODE_4M.secboot.fd %/OVMF_VARS_4M.fd
\tpython3 ./debian/edk2-vars-generator.py -f OVMF_4M -o $@

$(AAVMF_BINARIES) $(AAVMF_IMAGES): debian/setup-build-stamp BaseTools/Bin/GccLto/liblto-aarch64.a
\tset -e; . ./edksetup.sh; \\
\t\tbuild -a AARCH64 -t $(EDK2_TOOLCHAIN) -p ArmVirtPkg/ArmVirtQemu.dsc \\
\t\t\t$(AAVMF_SECBOOT_FLAGS) -b $(BUILD_TYPE)
\tcp $(AAVMF_BUILD_DIR)/FV/QEMU_VARS.fd \\
\t\t$(AAVMF_INSTALL_DIR)/AAVMF_VARS.fd
\tset -e; . ./edksetup.sh; \\
\t\tbuild -a AARCH64 -t $(EDK2_TOOLCHAIN) -p ArmVirtPkg/ArmVirtQemu.dsc \\
\t\t\t$(AAVMF_NO_SECBOOT_FLAGS) -b $(BUILD_TYPE)
\tcp $(AAVMF_BUILD_DIR)/FV/QEMU_EFI.fd \\
\t\t$(AAVMF_INSTALL_DIR)/AAVMF_CODE.no-secboot.fd
\ttruncate -s 64M $(AAVMF_INSTALL_DIR)/AAVMF_CODE.no-secboot.fd
\ttruncate -s 64M $(AAVMF_INSTALL_DIR)/AAVMF_VARS.fd
"""
DRIVER = "MdeModulePkg/Universal/Variable/RuntimeDxe/Reclaim.c"
UPSTREAM = "Reclaim (\n  Erase ();\n  Write ();\n)\n"


def diff(old: str, new: str, name: str = DRIVER) -> str:
    """A -p1 unified diff of one hunk, as git format-patch writes one."""
    lines_old, lines_new = old.splitlines(), new.splitlines()
    body = [f"-{line}" for line in lines_old] + [f"+{line}" for line in lines_new]
    return (f"--- a/{name}\n+++ b/{name}\n@@ -1,{len(lines_old)} +1,{len(lines_new)} @@ "
            "Reclaim\n" + "\n".join(body) + "\n")


DEBIAN_PATCH = diff(UPSTREAM, UPSTREAM.replace("Erase", "EraseDebian"))
FIX = diff(UPSTREAM.replace("Erase", "EraseDebian"), "Reclaim (\n  EraseDebian ();\n  Flush ();"
           "\n  Write ();\n)\n")

ARCHIVE = {
    "trixie": {
        "ovmf": ("2025.02-8+deb13u1", "edk2", "", {
            "usr/share/OVMF/OVMF_CODE_4M.fd": b"\x01" * 8192,
            "usr/share/OVMF/OVMF_CODE_4M.secboot.fd": b"\x01" * 8192,
            "usr/share/OVMF/OVMF_VARS_4M.fd": b"\x02" * 4096,
            "usr/share/OVMF/OVMF_VARS_4M.ms.fd": b"\x03" * 4096}, {
            "60-edk2-x86_64": releases_test.described("../../OVMF/OVMF_CODE_4M.fd",
                                                      "../../OVMF/OVMF_VARS_4M.fd"),
            "40-edk2-x86_64-secure-enrolled": releases_test.described(
                "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd", "/usr/share/OVMF/OVMF_VARS_4M.ms.fd",
                features=["enrolled-keys", "requires-smm", "secure-boot"])}),
        "qemu-efi-aarch64": ("2025.02-8+deb13u1", "edk2", "", {
            "usr/share/AAVMF/AAVMF_CODE.no-secboot.fd": b"\x04" * 4096,
            "usr/share/AAVMF/AAVMF_VARS.fd": b"\x05" * 4096}, {
            "60-edk2-aarch64": releases_test.described("/usr/share/AAVMF/AAVMF_CODE.no-secboot.fd",
                                                       "/usr/share/AAVMF/AAVMF_VARS.fd",
                                                       "aarch64")})},
    "forky": releases_test.ARCHIVE["forky"],
}


def tarball(path: Path, files: dict) -> None:
    with tarfile.open(path, "w:xz") as archive:
        for name, text in files.items():
            data = text.encode()
            member = tarfile.TarInfo(name)
            member.size = len(data)
            archive.addfile(member, io.BytesIO(data))


class SourceApt(releases_test.FakeApt):
    """The archive serves trixie's edk2 source, and not forky's (404, as today)."""

    def __call__(self, command, cwd):
        if "source" not in command:
            return super().__call__(command, cwd)
        self.commands.append(list(command))
        wanted = command[-1]
        if wanted != "edk2=2025.02-8+deb13u1":
            return 100, ("Err:1 http://archive.test/debian forky/main edk2 2026.08+ds-2 (tar)\n"
                         "  404  Not Found [IP: 192.0.2.1 80]\nE: Failed to fetch "
                         "http://archive.test/debian/pool/main/e/edk2/edk2_2026.08%2bds.orig.tar"
                         ".xz  404  Not Found [IP: 192.0.2.1 80]\n")
        if "--tar-only" in command:
            tarball(cwd / "edk2_2025.02.orig.tar.xz", {
                "edk2-2025.02/edksetup.sh": "", f"edk2-2025.02/{DRIVER}": UPSTREAM})
        else:
            tarball(cwd / "edk2_2025.02-8+deb13u1.debian.tar.xz", {
                "debian/rules": RULES, "debian/changelog": "edk2 (2025.02-8+deb13u1) trixie\n",
                "debian/patches/series": "# Debian's\nreclaim-debian.patch\n",
                "debian/patches/reclaim-debian.patch": DEBIAN_PATCH})
        return 0, ""


class FakeBuild:
    """The rules' build: the FV files, the code holding the driver's source as built; or a
    failure with a log."""

    def __init__(self):
        self.commands, self.makefiles, self.fails = [], [], False

    def __call__(self, command, cwd, log):
        self.commands.append(list(command))
        self.makefiles.append((cwd / command[4]).read_text())
        with open(log, "a") as output:
            output.write("Building ... OvmfPkg/OvmfPkgX64.dsc\n")
            if self.fails:
                output.write("Reclaim.c:3: error: 'Flush' undeclared\nbuild.py...\n : error "
                             "7000: Failed to execute command\n")
                return 2
        debug = command[1].split("=")[1]
        fv = cwd / f"Build/OvmfX64/{debug}_GCC5/FV"
        fv.mkdir(parents=True)
        for name in ("OVMF_CODE.fd", "QEMU_EFI.fd"):
            (fv / name).write_bytes((cwd / DRIVER).read_bytes().ljust(8192, b"\0"))
        for name in ("OVMF_VARS.fd", "QEMU_VARS.fd"):
            (fv / name).write_bytes(b"\x06" * 4096)
        (cwd / edk2_build.BUILD_DIR_FILE).write_text(f"Build/OvmfX64/{debug}_GCC5\n")
        return 0


class Edk2Build(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp())
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.work)])
        self.apt, self.build = SourceApt(self.work), FakeBuild()
        for patch in (mock.patch.object(paths, "cache", lambda: self.work / "cache"),
                      mock.patch.object(releases, "apt", self.apt),
                      mock.patch.object(releases, "host_release", lambda: "bookworm"),
                      mock.patch.object(firmware, "search_path", lambda: []),
                      mock.patch.object(edk2_build, "build", self.build),
                      mock.patch.object(edk2_build, "installed", lambda package: True),
                      mock.patch.dict(releases_test.ARCHIVE, ARCHIVE)):
            patch.start()
            self.addCleanup(patch.stop)
        self.fix = self.work / "0001-fix.patch"
        self.fix.write_text(FIX)

    def run_build(self, *arguments):
        """edk2-build's status, its standard output's last line and its standard error."""
        with contextlib.redirect_stdout(io.StringIO()) as out, \
                contextlib.redirect_stderr(io.StringIO()) as err:
            status = edk2_build.main(list(arguments))
        lines = out.getvalue().splitlines()
        return status, lines[-1] if lines else "", err.getvalue()

    def test_a_build_is_debians_then_the_patches_and_is_reused(self):
        status, name, _ = self.run_build("--firmware", "trixie:ovmf", "--debug",
                                         "--patch", str(self.fix))
        self.assertEqual(status, 0)
        chosen = firmware.resolve(name)
        # Debian's patch, then ours, in the code as built; the store the build's own.
        self.assertTrue(Path(chosen.code).read_bytes().startswith(
            b"Reclaim (\n  EraseDebian ();\n  Flush ();"))
        self.assertEqual(Path(chosen.factory).read_bytes(), b"\x06" * 4096)
        self.assertEqual((Path(chosen.code).name, chosen.architecture, chosen.smm),
                         ("OVMF_CODE_4M.fd", "x86_64", False))
        self.assertIn("built DEBUG from edk2 2025.02-8+deb13u1 with 0001-fix.patch",
                      chosen.description)
        self.assertEqual(self.build.commands[0],
                         ["env", "BUILD_TYPE=DEBUG", "make", "-f", "kestomandrel-edk2-build.mk",
                          "kestomandrel-edk2-build"])
        self.assertEqual(self.build.makefiles[0],
                         "include debian/rules\n\nkestomandrel-edk2-build: "
                         "debian/setup-build-stamp\n\tset -e; . ./edksetup.sh; build -a X64 -t "
                         "$(EDK2_TOOLCHAIN) -p OvmfPkg/OvmfPkgX64.dsc "
                         "$(OVMF_4M_NO_SECBOOT_FLAGS) -b $(BUILD_TYPE) -n 1\n"
                         "\techo '$(OVMF64_BUILD_DIR)' > kestomandrel-build-dir\n")
        self.assertTrue((Path(name).parent / "build.log").is_file())
        sources = [command for command in self.apt.commands if "source" in command]
        self.assertEqual([command[-2:] for command in sources],
                         [["--tar-only", "edk2=2025.02-8+deb13u1"],
                          ["--diff-only", "edk2=2025.02-8+deb13u1"]])
        # The same inputs are built once; another flag or patch is another build.
        self.assertEqual(self.run_build("--firmware", "trixie:ovmf", "--debug", "--patch",
                                        str(self.fix))[:2], (0, name))
        self.assertEqual(len(self.build.commands), 1)
        release = self.run_build("--firmware", "trixie:ovmf", "--patch", str(self.fix))[1]
        self.fix.write_text(FIX.replace("Flush", "FlushAll"))
        other = self.run_build("--firmware", "trixie:ovmf", "--patch", str(self.fix))[1]
        plain = self.run_build("--firmware", "trixie:ovmf")[1]
        self.assertEqual(len({name, release, other, plain}), 4)
        self.assertEqual(self.build.commands[1][1], "BUILD_TYPE=RELEASE")
        self.assertEqual(len([command for command in self.apt.commands if "source" in command]),
                         2)

    def test_each_name_takes_its_build_from_the_rules(self):
        status, name, _ = self.run_build("--firmware", "trixie:ovmf-secure")
        self.assertEqual(status, 0)
        secure = firmware.resolve(name)
        self.assertIn("$(OVMF_4M_SECBOOT_FLAGS)", self.build.makefiles[-1])
        # The rules enrol the keys by booting the build: the store is the release's.
        self.assertEqual((Path(secure.factory).read_bytes(), secure.smm, secure.enrolled_keys),
                         (b"\x03" * 4096, True, True))
        self.assertIn("OVMF_VARS_4M.ms.fd is trixie's packaged one", secure.description)
        status, name, _ = self.run_build("--firmware", "trixie:aavmf")
        aavmf = firmware.resolve(name)  # its files padded to QEMU's 64 MiB, as the rules do
        self.assertIn("-p ArmVirtPkg/ArmVirtQemu.dsc $(AAVMF_NO_SECBOOT_FLAGS)",
                      self.build.makefiles[-1])
        self.assertIn("BaseTools/Bin/GccLto/liblto-aarch64.a\n", self.build.makefiles[-1])
        self.assertEqual((Path(aavmf.code).stat().st_size, Path(aavmf.factory).read_bytes()[:1]),
                         (64 << 20, b"\x06"))

    def test_a_tree_of_ones_own_is_built_with_the_releases_rules(self):
        tree = self.work / "edk2"
        (tree / Path(DRIVER).parent).mkdir(parents=True)
        (tree / DRIVER).write_text(UPSTREAM.replace("Erase", "EraseDebian"))
        (tree / "edksetup.sh").write_text("")
        (tree / ".gitignore").write_text("Build/\n")
        git = ["git", "-C", str(tree), "-c", "user.name=t", "-c", "user.email=t@t"]
        subprocess.run([*git, "init", "-q"], check=True)
        subprocess.run([*git, "add", "."], check=True)
        subprocess.run([*git, "commit", "-qm", "edk2"], check=True)
        (tree / "Build").mkdir()
        (tree / "Build/stale.fd").write_text("ignored")
        status, name, _ = self.run_build("--firmware", "trixie:ovmf", "--source", str(tree),
                                         "--patch", str(self.fix))
        self.assertEqual(status, 0)
        # The tree as it is (no Debian patch), then ours; the tree itself left alone.
        self.assertTrue(Path(firmware.resolve(name).code).read_bytes().startswith(
            b"Reclaim (\n  EraseDebian ();\n  Flush ();"))
        self.assertEqual(sorted(path.name for path in tree.rglob("*") if ".git" not in
                                path.parts), [".gitignore", "Build", "MdeModulePkg",
                                              "Reclaim.c", "RuntimeDxe", "Universal", "Variable",
                                              "edksetup.sh", "stale.fd"])
        self.assertIn("$(OVMF_4M_NO_SECBOOT_FLAGS)", self.build.makefiles[-1])
        # A change, committed or not, is another build; the same tree is the same one.
        self.assertEqual(self.run_build("--firmware", "trixie:ovmf", "--source", str(tree),
                                        "--patch", str(self.fix))[1], name)
        (tree / "new.h").write_text("#define NEW 1\n")
        changed = self.run_build("--firmware", "trixie:ovmf", "--source", str(tree), "--patch",
                                 str(self.fix))[1]
        subprocess.run([*git, "add", "."], check=True)
        subprocess.run([*git, "commit", "-qm", "new"], check=True)
        committed = self.run_build("--firmware", "trixie:ovmf", "--source", str(tree),
                                   "--patch", str(self.fix))[1]
        self.assertEqual(len({name, changed, committed}), 3)
        self.assertEqual(len(self.build.commands), 3)
        status, _, said = self.run_build("--firmware", "trixie:ovmf", "--source", str(self.work))
        self.assertEqual((status, said.splitlines()[-1][:50]),
                         (125, f"edk2-build: --source {self.work}: not a git checkout"[:50]))

    def test_the_rules_of_debian_12_read_too(self):
        # Debian 12 builds the 4 MB OVMF from OvmfPkgIa32X64.dsc, with two -a.
        rules = RULES.replace("build -a X64 \\\n\t\t\t-t $(EDK2_TOOLCHAIN) \\\n\t\t\t"
                              "-p OvmfPkg/OvmfPkgX64.dsc \\\n\t\t\t$(OVMF_4M_NO_SECBOOT",
                              "build -a IA32 -a X64 -t $(EDK2_TOOLCHAIN) -p "
                              "OvmfPkg/OvmfPkgIa32X64.dsc $(OVMF_4M_NO_SECBOOT")
        chosen = edk2_build.recipe(rules, "OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd")
        self.assertEqual((chosen.build.architecture, chosen.build.platform),
                         ("IA32 X64", "OvmfPkg/OvmfPkgIa32X64.dsc"))
        self.assertIn("build -a IA32 -a X64 -t ", edk2_build.makefile(chosen))
        with self.assertRaisesRegex(Failure, "^cannot tell from debian/rules how it makes "
                                             "AAVMF_CODE.fd "):
            edk2_build.recipe(rules, "AAVMF_CODE.fd", "AAVMF_VARS.fd")

    def test_refusals(self):
        self.fix.write_text(FIX.replace("EraseDebian", "EraseOther"))
        cases = [
            (["--firmware", "forky:ovmf"],
             r"^edk2-build: forky's edk2 source 2026.08\+ds-2 is not served by "
             r"http://archive.test/debian/ \(apt-get source: edk2_2026.08\+ds.orig.tar.xz: 404 "
             r"Not Found; its output in .*\)\n$"),
            (["--firmware", "trixie:ovmf", "--patch", str(self.fix)],
             rf"^edk2-build: --patch {self.fix} does not apply: hunk #1 of {DRIVER} \(@@ -1,4 "
             r"\+1,5 @@ Reclaim\) FAILED at line 1\n$"),
            (["--firmware", "trixie:ovmf", "--patch", str(self.work / "none.patch")],
             r"^edk2-build: --patch .*/none.patch: no such file\n$"),
            (["--firmware", "trixie:ovmf-ia32"],
             r"^edk2-build: trixie:ovmf-ia32: trixie's firmware has no ovmf-ia32 \(one of "),
            (["--firmware", "nosuch:ovmf"], r"edk2-build: unknown release: nosuch "),
            (["--firmware", "ovmf"], r"^edk2-build: --firmware ovmf: give RELEASE:NAME"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                status, name, said = self.run_build(*arguments)
                self.assertEqual((status, name), (125, ""))
                self.assertRegex(said.splitlines()[-1] + "\n", message)
        self.assertEqual(self.build.commands, [])

    def test_a_failed_build_shows_its_logs_end_and_keeps_it(self):
        self.build.fails = True
        status, name, said = self.run_build("--firmware", "trixie:ovmf", "--debug")
        self.assertEqual((status, name), (125, ""))
        line = said.splitlines()[-1]
        self.assertRegex(line, r"^edk2-build: building trixie:ovmf failed \(status 2\): : error "
                               r"7000: Failed to execute command \(the whole log in (.*)\)$")
        log = Path(line.rsplit("the whole log in ", 1)[1][:-1])
        self.assertIn("'Flush' undeclared", log.read_text())
        self.assertIn("  Reclaim.c:3: error: 'Flush' undeclared\n", said)
        # Nothing half built is taken for a build: the next run builds again.
        self.build.fails = False
        self.assertEqual(self.run_build("--firmware", "trixie:ovmf", "--debug")[0], 0)
        self.assertEqual(len(self.build.commands), 2)


if __name__ == "__main__":
    unittest.main()
