#!/usr/bin/python3
"""scripts/uefi-vm's host side without a VM: its command line, its saved VMs' keys, and the loop
that serves the agent, against fake_qemu.py (QEMU and an agent that run commands on this host)."""

import argparse
import contextlib
import dataclasses
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import unittest.mock
from pathlib import Path

from uefi_vm import agent, commands, firmware, flashlog, guest, main, provision, qemu, saved
from uefi_vm import console, releases, shell, signals
from uefi_vm.bench import vm_times
from uefi_vm.options import Options
from uefi_vm.run import Run
from uefi_vm.text import GLOBAL_BRACED as GLOBAL
from uefi_vm.errors import Failure, Stopped

ROOT = Path(__file__).resolve().parents[2]


FAKE = str(Path(__file__).with_name("fake_qemu.py"))


def descriptor(directory: Path, name: str, arch: str = "x86_64", code_size: int = 1966080,
               vars_size: int = 131072, **changes) -> Path:
    """A descriptor NAME.json in DIRECTORY for a code and a store file beside it, of these sizes
    (no file for a size of None); CHANGES replace its fields, as Python values or JSON text."""
    for file_name, size in ((f"{name}-code.fd", code_size), (f"{name}-vars.fd", vars_size)):
        if size is not None:
            with open(directory / file_name, "wb") as file:
                file.truncate(size)
    fields = {"description": f"{name} for {arch}", "interface-types": ["uefi"],
              "mapping": {"device": "flash",
                          "executable": {"filename": f"{name}-code.fd", "format": "raw"},
                          "nvram-template": {"filename": f"{name}-vars.fd", "format": "raw"}},
              "targets": [{"architecture": arch, "machines": ["*"]}], "features": []}
    fields.update(changes)
    path = directory / f"{name}.json"
    path.write_text(fields.pop("text", None) or json.dumps(fields))
    return path


def outcome(program, arguments):
    """PROGRAM's status on ARGUMENTS, run here, and what it wrote on standard output and error."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = program(arguments)
    return status, out.getvalue(), err.getvalue()


class CommandLine(unittest.TestCase):
    """Mistakes end before anything is installed, built or booted: status 125 and one line, on a
    machine with no package installed and no firmware descriptor."""

    def setUp(self):
        nothing = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, nothing)
        for module, name, stand_in in ((provision, "installed", lambda package: False),
                                       (firmware, "search_path", lambda: [nothing])):
            self.addCleanup(setattr, module, name, getattr(module, name))
            setattr(module, name, stand_in)

    def test_mistakes(self):
        work = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, work)
        flash = {"device": "flash", "executable": {"filename": "/nonexistent/CODE.fd"},
                 "nvram-template": {"filename": "/nonexistent/VARS.fd"}}
        made = {name: str(descriptor(work, name, **changes)) for name, changes in {
            "text": {"text": "{ not json"},
            "bios": {"interface-types": ["bios"]},
            "memory": {"mapping": {"device": "memory", "filename": "/bios.bin"}},
            "missing": {"mapping": flash},
            "riscv": {"arch": "riscv64"},
            "vmdk": {"mapping": {**flash, "executable": {"filename": "c.vmdk", "format": "vmdk"}}},
            "odd": {"code_size": 1966080 + 512},
            "large": {"code_size": 8 * 1024 * 1024},
            "arm": {"arch": "aarch64", "code_size": 2 * 1024 * 1024, "vars_size": 64 << 20},
        }.items()}
        cases = [
            (["--firmware", "bios", "--", "/g", "X"], "unknown firmware: bios"),
            (["--firmware", made["text"], "--", "/g", "X"], "text.json is not JSON"),
            (["--firmware", made["bios"], "--", "/g", "X"], "no UEFI firmware (interface-types"),
            (["--firmware", made["memory"], "--", "/g", "X"], "only a firmware on flash"),
            (["--firmware", made["missing"], "--", "/g", "X"],
             "the executable /nonexistent/CODE.fd (named by"),
            (["--firmware", made["riscv"], "--", "/g", "X"], "riscv64; there is no machine for it"),
            (["--firmware", made["vmdk"], "--", "/g", "X"], "the executable is vmdk; raw or qcow2"),
            (["--firmware", made["odd"], "--", "/g", "X"], "is 1966592 bytes; QEMU's flash on the "
                                                           "q35 machine takes a non-zero multiple"),
            (["--firmware", made["large"], "--", "/g", "X"], "8519680 bytes together"),
            (["--firmware", made["arm"], "--", "/g", "X"], "takes exactly 67108864"),
            (["--firmware", made["odd"], "--code", str(work / "bios-code.fd"), "--factory",
              str(work / "none.fd"), "--", "/g", "X"], "none.fd (given by --factory) does not"),
            (["--firmware", "u-boot", "--factory", made["odd"], "--", "/g", "X"],
             "--factory: u-boot keeps no variable store"),
            (["--batch", "b"], "--batch needs --out DIR"),
            (["--batch", "b", "--out", "d", "--", "/g", "X"], "either --batch or -- ARGS"),
            (["--stop-after", "5s", "--", "/t"], "not a number of seconds: 5s"),
            (["--cpus", "0", "--", "/t"], "--cpus: not a number of CPUs: 0"),
            (["--cut-after", "0", "--", "/t"], "--cut-after: not a number of seconds: 0"),
            (["--cut-after", "1", "--batch", "b", "--out", "d"], "--cut-after is for a single"),
            (["--firmware", "u-boot", "--flash-log", "l", "--", "/t"], "has no flash for"),
            (["--firmware", "u-boot", "--vars", "v.fd", "--", "/g", "X"], "keeps no variable"),
            (["--firmware", "aavmf", "--kvm", "--", "/g", "X"], "needs an AArch64 host"),
            (["--", "/s", "a\nb", GLOBAL, "0"], "a line break cannot be passed"),
            (["--before", "echo\nhi", "--", "/t"], "a line break cannot be passed"),
            (["--file", "/nonexistent/value.bin", "--", "/g", "X"], "cannot read the file"),
            (["--tool"], "argument --tool: expected one argument"),
            ([], "nothing to run"),
            (["--frimware", "ovmf"], "unrecognized arguments: --frimware"),
            (["--firm", "ovmf", "--", "/g", "X"], "unrecognized arguments: --firm"),
            (["--shell", "--kvm", "--", "/g", "X"], "--kvm does not go with --shell"),
            (["--shell", "--cut-after", "1", "--", "/t"], "--cut-after does not go with --shell"),
            (["--shell", "--before", "true", "--", "/t"], "--before does not go with --shell"),
        ]
        cases += [((vm_times.main, arguments), message) for arguments, message in (
            (["--rounds", "0"], "--rounds and --pings count from 1"),
            (["--pings", "x"], "argument --pings: invalid int value"),
            (["bios"], "unknown firmware: bios"),
        )]
        for arguments, message in cases:
            program, arguments = arguments if isinstance(arguments, tuple) else (main.main,
                                                                                 arguments)
            with self.subTest(arguments=arguments):
                status, out, err = outcome(program, arguments)
                self.assertEqual((status, out), (125, ""))
                self.assertIn(message, err.splitlines()[-1])

    def test_help_names_every_firmware(self):
        run = subprocess.run([str(ROOT / "scripts/uefi-vm"), "--help"], capture_output=True,
                             text=True)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        for name, summary in firmware.TABLE:
            self.assertIn(f"{name:<12} {summary}", run.stdout)
        self.assertIn("--list-firmware", run.stdout)


class Descriptors(unittest.TestCase):
    """QEMU's firmware descriptors through the reader, and the firmware they give."""

    def setUp(self):
        self.work = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.work)
        # A user's own directory in QEMU's search path, empty unless a test fills it.
        self.user = self.work / "config/qemu/firmware"
        self.user.mkdir(parents=True)
        environment = dict(os.environ)
        self.addCleanup(os.environ.update, environment)
        self.addCleanup(os.environ.clear)
        os.environ["XDG_CONFIG_HOME"] = str(self.work / "config")
        # Other releases' firmware, fetched into the checkout's cache, is not this machine's.
        self.addCleanup(setattr, releases, "fetched", releases.fetched)
        releases.fetched = lambda: []

    def debians(self, cases) -> Path:
        """Debian's descriptors of CASES, as its packages install them, in a system directory of
        this test's, and the files they name (but the AArch64 secboot build, as in Debian's)."""
        system = self.work / "share/qemu/firmware"
        system.mkdir(parents=True)
        for stem, _, arch, features, _, code, store in cases:
            directory = self.work / "share" / ("AAVMF" if arch == "aarch64" else "OVMF")
            directory.mkdir(exist_ok=True)
            size = {"aarch64": 64 << 20}.get(arch)
            for name, length in ((code, size or 3653632), (store, size or 540672)):
                if name is not None:
                    with open(directory / name, "wb") as file:
                        file.truncate(length)
            code = code or "AAVMF_CODE.secboot.fd"
            files = {key: {"filename": str(directory / name), "format": "raw"} for key, name in
                     (("executable", code), ("nvram-template", store or "AAVMF_VARS.fd"))}
            (system / f"{stem}.json").write_text(json.dumps({
                "description": f"UEFI firmware for {arch}", "interface-types": ["uefi"],
                "mapping": {"device": "flash", "mode": "split", **files},
                "targets": [{"architecture": arch, "machines": ["pc-q35-*", "virt-*"]}],
                "features": features.split(), "tags": []}))
        self.addCleanup(setattr, firmware, "search_path", firmware.search_path)
        real = firmware.search_path
        firmware.search_path = lambda: [system] + real()[1:]
        return system

    def test_debians_descriptors(self):
        ovmf, aavmf = f"{self.work}/share/OVMF/", f"{self.work}/share/AAVMF/"
        system = f"{self.work}/share/qemu/firmware"
        # Each by its stem, and by a short name where it has one: architecture and machine, SMM,
        # Secure Boot, keys enrolled, the code and the factory store; or the refusal.
        cases = [
            ("60-edk2-x86_64", "ovmf", "x86_64", "acpi-s3 amd-sev verbose-dynamic",
             "x86_64 x86_64 - - -", "OVMF_CODE_4M.fd", "OVMF_VARS_4M.fd"),
            ("40-edk2-x86_64-secure-enrolled", "ovmf-secure", "x86_64", "acpi-s3 amd-sev "
             "enrolled-keys requires-smm secure-boot verbose-dynamic",
             "x86_64 x86_64 smm secure enrolled", "OVMF_CODE_4M.ms.fd", "OVMF_VARS_4M.ms.fd"),
            ("50-edk2-x86_64-secure", None, "x86_64", "acpi-s3 amd-sev requires-smm secure-boot "
             "verbose-dynamic", "x86_64 x86_64 smm secure -", "OVMF_CODE_4M.secboot.fd",
             "OVMF_VARS_4M.fd"),
            ("50-edk2-i386-secure", "ovmf-ia32", "i386", "acpi-s3 requires-smm secure-boot "
             "verbose-dynamic", "i386 x86_64 smm secure -", "OVMF32_CODE_4M.secboot.fd",
             "OVMF32_VARS_4M.fd"),
            ("60-edk2-aarch64", "aavmf", "aarch64", "verbose-static", "aarch64 aarch64 - - -",
             "AAVMF_CODE.fd", "AAVMF_VARS.fd"),
            ("40-edk2-aarch64-secure-enrolled", None, "aarch64", "enrolled-keys secure-boot "
             "verbose-static", "aarch64 aarch64 - secure enrolled", "AAVMF_CODE.ms.fd",
             "AAVMF_VARS.ms.fd"),
            ("50-edk2-aarch64-secure", None, "aarch64", "secure-boot verbose-static",
             f"the executable {aavmf}AAVMF_CODE.secboot.fd (named by {system}/50-edk2-aarch64-"
             "secure.json) does not exist", None, None),
        ]
        self.debians(cases)
        for stem, short, _, _, expected, code, store in cases:
            for name in filter(None, (stem, f"{stem}.json", short)):
                with self.subTest(name=name):
                    if code is None:
                        with self.assertRaises(Failure) as refused:
                            firmware.resolve(name)
                        self.assertEqual(str(refused.exception), f"{stem}: {expected}")
                        continue
                    chosen = firmware.resolve(name)
                    flags = [chosen.architecture, chosen.machine_name, "smm" if chosen.smm else "-",
                             "secure" if chosen.secure_boot else "-",
                             "enrolled" if chosen.enrolled_keys else "-"]
                    self.assertEqual(" ".join(flags), expected)
                    directory = aavmf if chosen.machine_name == "aarch64" else ovmf
                    self.assertEqual((chosen.code, chosen.factory),
                                     (directory + code, directory + store))
                    self.assertEqual(chosen.name, short if name == short else stem)
                    self.assertEqual(chosen.descriptor, f"{system}/{stem}.json")

    def test_a_users_own_descriptor_and_files_given_in_place(self):
        own = self.work / "own"
        own.mkdir()
        path = descriptor(own, "my-ovmf", features=["requires-smm", "secure-boot"])
        # A qcow2 image of 128 KiB: its header's virtual size is what QEMU's flash sees.
        qcow2 = self.work / "vars.qcow2"
        qcow2.write_bytes(b"QFI\xfb" + bytes(20) + (131072).to_bytes(8, "big"))
        os.chdir(self.work)
        self.addCleanup(os.chdir, ROOT)
        chosen = firmware.resolve("own/my-ovmf.json")
        self.assertEqual((chosen.name, chosen.code, chosen.factory),
                         (str(path), str(own / "my-ovmf-code.fd"), str(own / "my-ovmf-vars.fd")))
        self.assertEqual((chosen.smm, chosen.secure_boot, chosen.enrolled_keys),
                         (True, True, False))
        self.assertEqual(firmware.resolve(str(path)), chosen)
        # The options given on, with absolute paths, give the same firmware from anywhere.
        arguments = argparse.ArgumentParser()
        firmware.add_arguments(arguments)
        given = arguments.parse_args(["--firmware", "own/my-ovmf.json", "--code",
                                      "own/my-ovmf-vars.fd", "--factory", "vars.qcow2"])
        passed = firmware.passed_on(given)
        self.assertEqual(passed, ["--firmware", str(path), "--code", str(own / "my-ovmf-vars.fd"),
                                  "--factory", str(qcow2)])
        os.chdir("/")
        again = firmware.resolve(*passed[1::2])
        self.assertEqual((again.code, again.factory, again.factory_format, again.smm),
                         (str(own / "my-ovmf-vars.fd"), str(qcow2), "qcow2", True))
        self.assertEqual(again.label, f"{path} (--code {again.code}, --factory {qcow2})")

    def test_the_users_directory_takes_the_place_of_the_systems(self):
        system = self.work / "system"
        system.mkdir()
        for stem, arch in (("60-edk2-x86_64", "x86_64"), ("60-edk2-aarch64", "aarch64"),
                           ("50-edk2-aarch64-secure", "aarch64")):
            descriptor(system, stem, arch, code_size=None if "secure" in stem else 64 << 20,
                       vars_size=64 << 20)
        mine = descriptor(self.user, "60-edk2-x86_64")
        (self.user / "60-edk2-aarch64.json").write_text("")  # hides the system's
        self.addCleanup(setattr, firmware, "search_path", firmware.search_path)
        real = firmware.search_path
        firmware.search_path = lambda: [system] + real()[1:]
        for name in ("ovmf", "60-edk2-x86_64"):
            self.assertEqual(firmware.resolve(name).descriptor, str(mine))
        with self.assertRaisesRegex(Failure, "^aavmf: Debian's descriptor 60-edk2-aarch64.json "
                                             "is not in QEMU's firmware directories"):
            firmware.resolve("aavmf")
        with self.assertRaisesRegex(Failure, "^unknown firmware: 60-edk2-aarch64 "):
            firmware.resolve("60-edk2-aarch64")
        # One line each: the user's, the missing file, the hidden one, U-Boot; and a header.
        lines = firmware.listing()
        self.assertEqual([line.split()[:3] for line in lines[1:]],
                         [["50-edk2-aarch64-secure", "aarch64", "missing"],
                          ["ovmf", "x86_64", "there"], ["ovmf-secure", "-", "missing"],
                          ["ovmf-ia32", "-", "missing"], ["aavmf", "-", "missing"],
                          ["u-boot", "aarch64", lines[-1].split()[2]]])
        self.assertIn(f"[{mine}]", lines[2])


class Guest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.work)

    def guest(self, config: str, *module_files: str) -> guest.Guest:
        tree = self.work / "lib/modules/6.1.0-test"
        for name in module_files:
            (tree / "kernel").mkdir(parents=True, exist_ok=True)
            (tree / "kernel" / name).write_bytes(name.encode())
        (self.work / "config").write_text(f"#\n{config}\n")
        (self.work / "vmlinuz").write_bytes(b"kernel")
        (self.work / "busybox").write_bytes(b"busybox")
        # The made-up modules depend on nothing: a modinfo that says so, not the machine's kmod.
        tools = self.work / "bin"
        tools.mkdir(exist_ok=True)
        (tools / "modinfo").write_text("#!/bin/sh\necho\n")
        (tools / "modinfo").chmod(0o755)
        path = f"{tools}:{os.environ.get('PATH', '/usr/bin:/bin')}"
        patcher = unittest.mock.patch.dict(os.environ, {"PATH": path})
        patcher.start()
        self.addCleanup(patcher.stop)
        return guest.Guest(self.work / "vmlinuz", self.work / "busybox", tree,
                           self.work / "config")

    def test_a_module_maps_to_its_kernel_option_and_its_file_spelt_either_way(self):
        cases = [("efivarfs", "CONFIG_EFIVAR_FS"), ("virtio_pci", "CONFIG_VIRTIO_PCI"),
                 ("virtio-console", "CONFIG_VIRTIO_CONSOLE"), ("virtio_mmio", "CONFIG_VIRTIO_MMIO")]
        for module, option in cases:
            self.assertEqual(guest.kernel_option(module), option)
        # Built in (=y): nothing to load; a module: its file, whichever way it is spelt.
        made = self.guest("CONFIG_EFIVAR_FS=y\nCONFIG_VIRTIO_PCI=m\nCONFIG_VIRTIO_CONSOLE=m",
                          "virtio-pci.ko", "virtio_console.ko")
        loaded = guest.modules(made, ("virtio_pci", "virtio-console"))
        self.assertEqual(loaded, [("virtio_pci", b"virtio-pci.ko"),
                                  ("virtio-console", b"virtio_console.ko")])
        # depmod's list, when there is one, names the files; none else are looked for.
        (made.modules / "modules.dep").write_text("kernel/virtio_pci.ko.xz: kernel/virtio.ko\n")
        self.assertEqual(guest.module_files(made.modules, "virtio-pci"),
                         [made.modules / "kernel/virtio_pci.ko.xz"])
        self.assertEqual(guest.module_files(made.modules, "virtio_console"), [])
        with self.assertRaisesRegex(Failure, "needs the module efivarfs"):
            guest.modules(self.guest("CONFIG_EFIVAR_FS=m"), ())

    def test_the_initramfs_is_the_same_bytes_every_time(self):
        made = self.guest("CONFIG_EFIVAR_FS=m", "efivarfs.ko", "virtio_pci.ko",
                          "virtio_console.ko")
        chosen = firmware.Firmware("fake", "", "x86_64", (), "/code.fd", "/vars.fd")
        init = self.work / "agent.sh"
        init.write_bytes(b"#!/bin/sh\n")
        first = guest.initramfs(made, chosen, init)
        for path in self.work.rglob("*"):
            os.utime(path, (1, 1))  # no time stamp of the files' goes in
        self.assertEqual(guest.initramfs(made, chosen, init), first)
        self.assertIn(b"efivarfs.ko", first)


def qemu_pairs(chosen: firmware.Firmware, **plan) -> list:
    """QEMU's command line for a plan on CHOSEN, as pairs of neighbouring words."""
    fields = dict(work=Path("/w"), kernel=Path("/k"), initrd=Path("/i"), store=Path("/w/v.qcow2"),
                  store_format="qcow2")
    argv = qemu.command(qemu.Plan(chosen, **{**fields, **plan}))
    return list(zip(argv, argv[1:]))


class QemuCommandLine(unittest.TestCase):
    def test_each_firmware_and_option_gives_its_words(self):
        ovmf = firmware.Firmware("ovmf", "", "x86_64", (), "/fw/CODE.fd", "/fw/VARS.fd")
        secure = dataclasses.replace(ovmf, smm=True, secure_boot=True)
        ia32 = dataclasses.replace(secure, architecture="i386")
        mine = dataclasses.replace(ovmf, code="/mine/CODE.qcow2", code_format="qcow2",
                                   given_code="/mine/CODE.qcow2")
        aavmf = firmware.Firmware("aavmf", "", "aarch64", (), "/fw/CODE.fd", "/fw/VARS.fd")
        trace = [("-trace", f"enable={event}") for event in flashlog.EVENTS]
        cases = [
            (ovmf, {}, [("-machine", "q35,accel=tcg"), ("-drive", "if=pflash,format=raw,unit=0,"
                        "readonly=on,file=/fw/CODE.fd"), ("-drive", "if=pflash,format=qcow2,"
                        "unit=1,file=/w/v.qcow2"), ("-kernel", "/k"), ("-serial", "file:/w/"
                        "console.log"), ("-debugcon", "file:/w/debug.log"),
                        ("-global", "isa-debugcon.iobase=0x402")],
             ["cfi.pflash01", "-bios", "-trace", "-fw_cfg"]),
            (secure, {}, [("-machine", "q35,smm=on,accel=tcg"),
                          ("-global", "driver=cfi.pflash01,property=secure,value=on"),
                          ("-fw_cfg", "name=opt/org.tianocore/EnableLegacyLoader,string=yes")],
             []),
            (ia32, {"cpus": 2}, [("-machine", "q35,smm=on,accel=tcg"), ("-smp", "2"),
                                 ("-global", "driver=cfi.pflash01,property=secure,value=on")], []),
            (firmware.UBOOT, {}, [("-bios", firmware.UBOOT.code),
                                  ("-drive", "if=none,id=esp,format=raw,readonly=on,file=fat:/w/"
                                   "esp"), ("-device", "virtio-blk-device,drive=esp"),
                                  ("-drive", "if=none,id=state,format=qcow2,file=/w/v.qcow2"),
                                  ("-cpu", "cortex-a57")],
             ["-kernel", "-global", "pflash", "-debugcon"]),
            # AArch64's edk2 writes its debug output on the serial console.
            (aavmf, {}, [("-serial", "file:/w/console.log")], ["-debugcon", "-global"]),
            (ovmf, {"flash_log": True}, trace + [("-D", "/w/flash.trace")], []),
            (ovmf, {"store": Path("/kept/store.fd"), "store_format": "raw"},
             [("-drive", "if=pflash,format=raw,unit=1,file=/kept/store.fd")], []),
            (mine, {}, [("-drive", "if=pflash,format=qcow2,unit=0,readonly=on,"
                         "file=/mine/CODE.qcow2")], []),
            (ovmf, {"kvm": True}, [("-machine", "q35,accel=kvm"), ("-cpu", "host")], []),
        ]
        for chosen, plan, present, absent in cases:
            with self.subTest(firmware=chosen.name, plan=plan):
                pairs = qemu_pairs(chosen, **plan)
                for pair in present:
                    self.assertIn(pair, pairs)
                words = " ".join(word for pair in pairs for word in pair)
                for word in absent:
                    self.assertNotIn(word, words)
                debug = qemu.Plan(chosen, Path("/w"), Path("/k"), Path("/i"), Path("/w/v"),
                                  "raw").debug
                self.assertEqual(debug.name, "debug.log" if "-debugcon" in words
                                 else "console.log")


class Quoting(unittest.TestCase):
    def test_the_tools_arguments_reach_it_as_they_are(self):
        work = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, work)
        (work / "kestomandrel").write_text('#!/bin/sh\nprintf "%s\\0" "$@"\n')
        (work / "kestomandrel").chmod(0o755)
        # The guest's runner, its process group's file in this test's directory.
        runner = work / "kmvm-run"
        runner.write_bytes(guest.RUN_LINE.replace(b"/tmp/pgid", str(work / "pgid").encode()))
        args = ["/s", "My Var", "it's", '"quoted"', "$HOME", "*", "back\\slash", "{GUID}",
                "", "-- -x", "a\tb", "é"]
        run = subprocess.run(["sh", "-c", 'sh "$0" "$1" 9>&2', str(runner),
                              agent.tool_line(args)], capture_output=True, cwd=work,
                             env=dict(os.environ, PATH=f"{work}:{os.environ['PATH']}"))
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        self.assertEqual(run.stdout.decode().split("\0")[:-1], args)


class Shell(unittest.TestCase):
    """--shell's own pieces: the Shell's command lines, and its serial console read back."""

    def test_arguments_reach_the_tool_through_the_shells_quoting(self):
        words = ["/g", "a b", 'say "hi"', "100%", "#not a comment", "^", ""]
        line = shell.startup_script([shell.Step(words)], batch=False).split("\r\n")[3]
        self.assertEqual(line, 'kestomandrel.efi "/g" "a b" "say ^"hi^"" "100^%" '
                               '"^#not a comment" "^^" ""')

    def test_a_batch_takes_the_tools_lines_only(self):
        with tempfile.TemporaryDirectory() as work:
            batch = Path(work) / "batch"
            batch.write_text("# a comment\nkestomandrel /g 'A B'\n\n"
                             "timeout -s INT 3 kestomandrel /t DriverOrder\n")
            options = Options(batch=batch)
            self.assertEqual(shell.steps_of(options), [shell.Step(["/g", "A B"]),
                                                       shell.Step(["/t", "DriverOrder"], 3)])
            batch.write_text("cat /etc/passwd\n")
            with self.assertRaisesRegex(Failure, "runs only the tool"):
                shell.steps_of(options)

    def test_the_consoles_stream_in_any_pieces(self):
        # The firmware's and the Shell's words, then the tool's output between the markers,
        # with a CR of the tool's own; cut at every byte, it must give the same.
        console = (b"BdsDxe: starting\r\n\x1b[1mPress \x1b[0mESC in 5 seconds to skip "
                   b"startup.nsh or any other key\r\n=kmvm-begin=\r\n=kmvm-run=1\r\n"
                   b"\r\nLength : 2(0x2) bytes\r\nA \r \r\n=kmvm-end=1 0x0\r\n=kmvm-run=2\r\n"
                   b"\r\nUsage: =x\r\n=kmvm-end=2 0xFFFFFFFFFFFFFFFF\r\nReset with\r\n")
        for size in (1, 2, 7, len(console)):
            with self.subTest(size=size), tempfile.TemporaryDirectory() as work:
                written, keys = [], []
                session = shell.Session(unittest.mock.Mock(), "ovmf", Path(work) / "log",
                                        written.append, [shell.Step([]), shell.Step([])],
                                        live=True)
                session.key = keys.append
                for at in range(0, len(console), size):
                    session.feed(console[at:at + size])
                self.assertEqual(b"".join(written), b"\nLength : 2(0x2) bytes\nA \r \n"
                                                    b"\nUsage: =x\n")
                self.assertEqual(session.statuses, {1: 0, 2: (1 << 64) - 1})
                self.assertEqual(keys, [b"\r"])
                self.assertEqual((Path(work) / "log").read_bytes(), console)
        self.assertEqual([shell.STATUSES[status] for status in session.statuses.values()],
                         [0, 255])

    def test_a_redirected_file_gives_the_tools_bytes(self):
        tool = b"\nIn Character Bytes:\n\x00 \r \xff \n"
        shown = b"\xff\xfe" + tool.replace(b"\n", b"\r\n").decode("latin-1").encode("utf-16-le")
        self.assertEqual(shell.decode_redirected(shown), tool)


class ToolBuild(unittest.TestCase):
    def test_a_configure_that_failed_is_run_again_from_scratch(self):
        # (files in the preset's directory, whether CMake configures first, the cache kept)
        cases = [([], True, False),
                 # A configure that stopped at a compiler not installed yet: no Makefile.
                 (["CMakeCache.txt", "CMakeFiles/CMakeError.log"], True, False),
                 (["CMakeCache.txt", "Makefile"], False, True)]
        for files, configures, kept in cases:
            with self.subTest(files=files), tempfile.TemporaryDirectory() as root, \
                    unittest.mock.patch.object(provision.subprocess, "run") as run, \
                    contextlib.redirect_stderr(io.StringIO()):
                made = Path(root, "build", "linux-static")
                for name in files:
                    (made / name).parent.mkdir(parents=True, exist_ok=True)
                    (made / name).write_text("")
                run.return_value = subprocess.CompletedProcess([], 0, b"")
                provision.build(Path(root), "linux-static", "x86_64", False)
                steps = [call.args[0][:2] for call in run.call_args_list]
                self.assertEqual(steps[0] == ["cmake", "--preset"], configures)
                self.assertEqual(steps[-1], ["cmake", "--build"])
                self.assertEqual((made / "CMakeCache.txt").exists(), kept)


class SavedKeys(unittest.TestCase):
    def test_every_part_of_the_state_changes_the_key_and_a_stale_entry_is_not_restored(self):
        with tempfile.TemporaryDirectory() as work:
            files = [Path(work, name) for name in ("code.fd", "vars.fd", "vmlinuz")]
            for path in files:
                path.write_bytes(path.name.encode())
            command = ["qemu", "-m", "512", "-smp", "1"]
            key = saved.key("/bin/echo", command, files, b"initrd")
            self.assertEqual(key, saved.key("/bin/echo", command, files, b"initrd"))
            files[2].write_bytes(b"another kernel")
            others = [saved.key("/bin/echo", command[:-1] + ["2"], files[:2], b"initrd"),
                      saved.key("/bin/echo", command, files, b"initrd"),
                      saved.key("/bin/echo", command, files[:2], b"another initrd"),
                      saved.key("/bin/true", command, files[:2], b"initrd")]
            self.assertEqual(len({key, *others}), 5)

            entry, store = saved.Entry(Path(work, "saved"), "ovmf", key), Path(work, "run.qcow2")
            self.assertFalse(entry.restore_into(store))
            Path(work, "state.qcow2").write_bytes(b"saved state")
            entry.keep(Path(work, "state.qcow2"))
            self.assertTrue(entry.restore_into(store))
            self.assertEqual(store.read_bytes(), b"saved state")
            stale = saved.Entry(Path(work, "saved"), "ovmf", others[0])
            self.assertFalse(stale.restore_into(store))
            entry.discard()
            self.assertFalse(entry.restore_into(store))


class Serving(unittest.TestCase):
    """The loop over the agent's channels, with QEMU and the guest played by fake_qemu.py."""

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.options = Options(kept=Path(self.work.name, "store.fd"), timeout=10, args=[])
        self.fake = []
        real = qemu.command
        qemu.command = lambda plan: [sys.executable, FAKE, *self.fake, *real(plan)]
        self.addCleanup(setattr, qemu, "command", real)
        self.run_ = None

    def tearDown(self):
        if self.run_ is not None:
            self.run_.stop_vm()
        self.work.cleanup()

    def boot(self, *fake: str) -> Run:
        self.fake[:] = fake
        fake = firmware.Firmware("fake", "", "x86_64", (), "/code.fd", "/vars.fd")
        plan = qemu.Plan(fake, Path(self.work.name), Path("/vmlinuz"), Path("/initrd"),
                         self.options.kept, "raw")
        self.run_ = Run(plan, self.options, ["cmd"])
        self.run_.boot(None)
        self.run_.send_file(b"\x7fELF tool", "0755", "/bin/kestomandrel")
        return self.run_

    def command(self, line: str, out=None):
        """Runs LINE; its status, its output and error output, and when each piece came."""
        arrivals, errors = [], []
        sink = out or (lambda data: arrivals.append((time.monotonic(), data)))
        status = commands.run_command(self.boot_run, 1, line, sink, errors.append)
        return status, b"".join(data for _, data in arrivals), b"".join(errors), arrivals

    def signal_later(self, *delays: float):
        def send():
            for delay in delays:
                time.sleep(delay)
                os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=send, daemon=True).start()

    def test_output_arrives_as_written_every_byte_unchanged(self):
        self.boot_run = self.boot()
        line = ("printf '%b' \"$(printf '\\\\%03o' $(seq 0 255))\"; sleep 0.4; printf end; "
                "printf e >&2")
        status, output, errors, arrivals = self.command(line)
        self.assertEqual((status, output, errors), (0, bytes(range(256)) + b"end", b"e"))
        self.assertGreater(arrivals[-1][0] - arrivals[0][0], 0.3)

    def test_a_signal_reaches_the_command_and_a_second_stops_the_vm(self):
        self.boot_run = self.boot()
        self.signal_later(0.3)
        status, *_ = self.command("sleep 5")
        self.assertEqual((status, self.boot_run.interrupted), (130, signal.SIGINT))
        # A command that outlives the first: the second stops QEMU at once.
        self.signal_later(0.3, 0.3)
        with self.assertRaises(Stopped) as stopped:
            self.command("trap '' INT; sleep 5")
        self.assertEqual(stopped.exception.status, 130)
        self.assertIn("a second SIGINT", str(stopped.exception))
        self.assertIsNotNone(self.boot_run.vm.qemu.status())

    def test_stop_after_and_silence(self):
        self.options.stop_after, self.options.timeout = 0.5, 2
        self.boot_run = self.boot()
        started = time.monotonic()
        self.assertEqual(self.command("sleep 5")[0], 130)
        self.assertLess(time.monotonic() - started, 2)
        self.options.stop_after = None
        # Writing now and then keeps a command going past the time limit; silence does not.
        status, output, *_ = self.command("for i in 1 2 3 4 5; do sleep 0.8; echo $i; done")
        self.assertEqual((status, output), (0, b"1\n2\n3\n4\n5\n"))
        with self.assertRaisesRegex(Failure, "neither wrote nor ended for 2 seconds"):
            self.command("echo once; sleep 5")

    def test_a_power_cut_passes_on_what_was_written_and_ends_qemu(self):
        self.options.cut_after = 0.5
        self.boot_run = self.boot()
        with self.assertRaises(Stopped) as stopped:
            self.command("echo written; sleep 5", out=commands.write_to(self.pipe_writer()))
        self.assertEqual(stopped.exception.status, 137)
        self.assertEqual(os.read(self.reader, 100), b"written\n")
        self.assertIsNotNone(self.boot_run.vm.qemu.status())

    def pipe_writer(self) -> int:
        self.reader, writer = os.pipe()
        self.addCleanup(os.close, self.reader)
        self.addCleanup(os.close, writer)
        return writer

    def test_a_reader_that_goes_away_stops_the_command(self):
        self.boot_run = self.boot()
        reader, writer = os.pipe()
        os.close(reader)
        self.addCleanup(os.close, writer)
        started = time.monotonic()
        with self.assertRaises(Stopped) as stopped:
            self.command("while :; do echo x; sleep 0.1; done",
                         out=commands.write_to(writer, self.boot_run))
        self.assertEqual(stopped.exception.status, 128 + signal.SIGPIPE)
        self.assertLess(time.monotonic() - started, 3)

    def test_protocol_faults_are_the_scripts_failures(self):
        started = time.monotonic()
        with self.assertRaisesRegex(Failure, r"the firmware took a CPU exception [0-9.]+ s after "
                                             r"QEMU started \(X64 Exception Type - 0D\(#GP"):
            self.boot("--exception")
        self.assertLess(time.monotonic() - started, self.options.timeout / 2)
        self.run_.stop_vm()
        # A DEBUG build that fails an ASSERT spins for good once its debug output goes quiet;
        # one that writes on after it boots.
        with unittest.mock.patch.object(console, "ASSERT_QUIET", 0.5):
            started = time.monotonic()
            with self.assertRaisesRegex(Failure, r"the firmware stopped on a failed assertion "
                                                 r"[0-9.]+ s after QEMU started \(ASSERT "
                                                 r"\[VariableRuntimeDxe\] /b/VariableNonVolatile"
                                                 r"\.c\(105\): !\(\(\(INTN\)"):
                self.boot("--assert")
            self.assertLess(time.monotonic() - started, self.options.timeout / 2)
            self.run_.stop_vm()
            self.boot("--assert", "--runs-on").stop_vm()
        for fake, message in (("--lie", "sent more than it wrote"),
                              ("--die-on-run", "QEMU stopped unexpectedly")):
            with self.subTest(fake=fake):
                self.boot_run = self.boot(fake)
                with self.assertRaisesRegex(Failure, message):
                    self.command("echo hello")
                self.boot_run.stop_vm()


if __name__ == "__main__":
    signals.catch_signals()
    unittest.main(verbosity=2)
