#!/usr/bin/python3
"""scripts/uefi-vm as its users meet it: the tool's output streamed live from the VM, stopped by
Ctrl-C or SIGTERM, cut off by a reader that goes away, and a saved VM that cannot be restored. On
one firmware of each machine (x86_64 with PCI virtio, AArch64 with MMIO virtio), where they must
behave alike; and the UEFI build in the firmware's Shell (--shell), stopped by Ctrl-C.

    tests/uefi/live_test.py --tool-x86_64 PATH --tool-aarch64 PATH [unittest options]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

import processes

ROOT = Path(__file__).resolve().parents[2]
VM = ROOT / "scripts/uefi-vm"
SAVED = ROOT / "build/uefi-vm-cache/saved"
VENDOR = "{4B4D5646-0001-4E6F-8000-4B45535443AE}"
TOOLS = {}
# The UEFI builds, for the Shell.
EFI = {"x86_64": str(ROOT / "build/efi-x64/kestomandrel-x64.efi"),
       "aarch64": str(ROOT / "build/efi-aa64/kestomandrel-aa64.efi")}
FIRMWARES = {"ovmf": "x86_64", "aavmf": "aarch64"}


def dump(data: bytes) -> bytes:
    """The tool's two views of a variable's bytes."""
    hex_view = b"".join((b"\n" if i % 16 == 0 else b"") + b" %02X " % byte
                        for i, byte in enumerate(data))
    characters = b"".join((b"\n" if i % 16 == 0 else b"") + bytes([byte]) + b" "
                          for i, byte in enumerate(data))
    return b"\n In Hex Bytes:" + hex_view + b"\n\n In Character Bytes:" + characters + b"\n"


def shown(data: bytes) -> bytes:
    return b"\nLength : %d(0x%x) bytes" % (len(data), len(data)) + dump(data)


def iteration(name: str, count: int) -> bytes:
    return b"\n%s Set successfully...!!!" % name.encode() + shown(count.to_bytes(4, "little"))


def whole_iterations(name: str, output: bytes) -> int:
    """How many iterations of the loop OUTPUT holds; fails unless it is exactly whole ones."""
    expected, count = b"", 0
    while len(expected) < len(output):
        expected += iteration(name, count)
        count += 1
    assert output == expected, f"not whole iterations of the loop: ...{output[-200:]!r}"
    return count


def whole_shown_iterations(name: str, output: bytes) -> int:
    """How many iterations of the loop OUTPUT holds as the Shell's serial console shows them
    (no NUL, some bytes of the character view as ?): each with its counter in the hex view, and
    the output ending on a whole one."""
    head = b"\n%s Set successfully...!!!" % name.encode()
    parts = output.split(head)
    assert parts[0] == b"", f"not the loop: {output[:200]!r}"
    for count, part in enumerate(parts[1:]):
        counter = count.to_bytes(4, "little")
        start = b"\nLength : 4(0x4) bytes\n In Hex Bytes:\n" + b"".join(
            b" %02X " % byte for byte in counter) + b"\n\n In Character Bytes:\n"
        assert part.startswith(start) and part.endswith(b" \n"), f"iteration {count}: {part!r}"
    return len(parts) - 1


def tool_errors(errors: bytes) -> list:
    """The lines of standard error that are not scripts/uefi-vm's notes."""
    return [line for line in errors.splitlines() if not line.startswith(b"uefi-vm: ")]


class Live:
    """scripts/uefi-vm running in a process group of its own, its output stamped as it arrives."""

    def __init__(self, firmware: str, *arguments: str, stdout=subprocess.PIPE,
                 shell: bool = False):
        tool = EFI[FIRMWARES[firmware]] if shell else TOOLS[FIRMWARES[firmware]]
        self.process = subprocess.Popen(
            [str(VM), "--firmware", firmware, "--tool", tool] + (["--shell"] if shell else [])
            + list(arguments),
            stdout=stdout, stderr=subprocess.PIPE, start_new_session=True)
        self.arrivals = []  # (monotonic time, bytes)
        self.errors = b""
        self.readers = [threading.Thread(target=self._read_errors)]
        if stdout == subprocess.PIPE:
            self.readers.append(threading.Thread(target=self._read_output))
        for reader in self.readers:
            reader.start()

    def _read_output(self):
        while chunk := os.read(self.process.stdout.fileno(), 65536):
            self.arrivals.append((time.monotonic(), chunk))

    def _read_errors(self):
        self.errors = self.process.stderr.read()

    def output(self) -> bytes:
        return b"".join(chunk for _, chunk in self.arrivals)

    def wait_for(self, size: int, limit: float = 120):
        deadline = time.monotonic() + limit
        while len(self.output()) < size:
            assert time.monotonic() < deadline, f"no output: {self.errors!r}"
            assert self.process.poll() is None, f"ended early: {self.errors!r}"
            time.sleep(0.05)

    def finish(self, limit: float = 60) -> int:
        status = self.process.wait(limit)
        for reader in self.readers:
            reader.join()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
        return status


def run(firmware: str, *arguments: str):
    live = Live(firmware, *arguments)
    status = live.finish(300)
    return status, live.output(), live.errors


class Streaming(unittest.TestCase):
    def test_loop_arrives_as_it_runs_and_stops_on_a_whole_iteration(self):
        # Ctrl-C at a terminal signals the whole process group; SIGTERM or SIGHUP may come to the
        # script alone. Each reaches the tool, which ends with its own status.
        # In the Shell, Ctrl-C goes on over the serial line as the Shell's break.
        cases = [("ovmf", signal.SIGINT, True, False), ("ovmf", signal.SIGTERM, False, False),
                 ("aavmf", signal.SIGINT, True, False), ("aavmf", signal.SIGHUP, False, False),
                 ("ovmf", signal.SIGINT, True, True)]
        for firmware, signum, group, shell in cases:
            with self.subTest(firmware=firmware, signal=signum.name, group=group, shell=shell):
                live = Live(firmware, "--", "/t", "SysPrepOrder", shell=shell)
                first = len(iteration("SysPrepOrder", 0)) - 4  # the console drops 3 NULs
                live.wait_for(first)
                time.sleep(3)
                qemus = processes.qemus(parent=live.process.pid)
                self.assertEqual(len(qemus), 1)
                os.killpg(live.process.pid, signum) if group else live.process.send_signal(signum)
                self.assertEqual(live.finish(), 128 + signum, live.errors)
                # Nothing but the script's own notes (a VM saved, a guest fetched), no shell's
                # "Terminated" or "Hangup".
                self.assertEqual(tool_errors(live.errors), [])
                count = (whole_shown_iterations if shell else whole_iterations)(
                    "SysPrepOrder", live.output())
                self.assertGreaterEqual(count, 10)
                # The iterations came one by one as the loop ran, not at the end.
                stamps = [stamp for stamp, _ in live.arrivals]
                self.assertGreaterEqual(len(stamps), count // 2)
                self.assertGreater(stamps[-1] - stamps[0], 2.0)
                # Nothing of the VM is left.
                pid, command = qemus[0]
                self.assertFalse(Path(f"/proc/{pid}").exists())
                if shell:
                    work = next(arg for arg in command if b"disk.img" in arg).split(b"file=")[1]
                else:
                    work = next(arg for arg in command if arg.startswith(b"file:")).split(b":")[1]
                self.assertFalse(Path(os.fsdecode(work)).parent.exists())

    def test_a_reader_that_goes_away_ends_the_run(self):
        for firmware in FIRMWARES:
            with self.subTest(firmware=firmware):
                reader, writer = os.pipe()
                live = Live(firmware, "--", "/t", "SysPrepOrder", stdout=writer)
                os.close(writer)
                self.assertGreater(len(os.read(reader, 300)), 0)
                qemus = processes.qemus(parent=live.process.pid)
                os.close(reader)
                closed = time.monotonic()
                self.assertEqual(live.finish(), 128 + signal.SIGPIPE, live.errors)
                self.assertLess(time.monotonic() - closed, 10)
                self.assertTrue(all(not Path(f"/proc/{pid}").exists() for pid, _ in qemus))

    def test_every_byte_value_arrives_unchanged(self):
        # Written from a file, then read back and dumped raw (0x00, 0x0A, 0x0D, 0x1B, 0xFF...),
        # by two live runs on one variable store.
        every = bytes(range(256))
        for firmware in FIRMWARES:
            with self.subTest(firmware=firmware), tempfile.TemporaryDirectory() as work:
                data, store = Path(work) / "all.bin", Path(work) / "store.fd"
                data.write_bytes(every)
                status, output, errors = run(firmware, "--vars", str(store), "--file", str(data),
                                             "--", "/s", "KmAll", VENDOR, "/f", "all.bin")
                self.assertEqual((status, errors), (0, b""))
                self.assertTrue(output.endswith(b"\nVariable Set successfully...!!!"), output)
                status, output, errors = run(firmware, "--vars", str(store),
                                             "--", "/g", "KmAll", VENDOR)
                self.assertEqual((status, errors), (0, b""))
                expected = b"\nVariable Name : KmAll\nGUID Value : %s" % VENDOR.encode()
                self.assertEqual(output, expected + shown(every))


class SavedVm(unittest.TestCase):
    def test_an_unusable_saved_vm_gives_way_to_a_cold_boot(self):
        # A machine of its own (three CPUs), so that no other test's saved VM is touched; AArch64
        # edk2, which boots cold the fastest.
        options = ("--cpus", "3", "--", "/g", "BootOrder")
        entry = SAVED / "aavmf-3cpu-tcg"
        shutil.rmtree(entry, ignore_errors=True)
        saving = b"uefi-vm: saving the booted VM for aavmf (later runs start from it)\n"
        status, cold, errors = run("aavmf", *options)
        self.assertEqual(status, 0)
        self.assertTrue(errors.endswith(saving), errors)
        status, warm, errors = run("aavmf", *options)
        self.assertEqual((status, warm, errors), (0, cold, b""))
        # A saved state that QEMU cannot load: the run still answers, and saves it anew.
        with open(entry / "state.qcow2", "r+b") as state:
            state.write(b"\0" * 4096)
        status, output, errors = run("aavmf", *options)
        self.assertEqual((status, output), (0, cold))
        self.assertIn(b"could not be restored", errors)
        self.assertTrue(errors.endswith(saving), errors)
        # A saved state made of something else (another kernel, firmware, QEMU) is not used.
        (entry / "key").write_text("0" * 64 + "\n")
        status, output, errors = run("aavmf", *options)
        self.assertEqual((status, output, errors), (0, cold, saving))
        shutil.rmtree(entry)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    for arch in ("x86_64", "aarch64"):
        option = f"--tool-{arch}"
        if option not in arguments:
            sys.exit(f"usage: {sys.argv[0]} --tool-x86_64 PATH --tool-aarch64 PATH")
        at = arguments.index(option)
        TOOLS[arch] = arguments[at + 1]
        del arguments[at:at + 2]
    unittest.main(argv=[sys.argv[0]] + arguments, verbosity=2)
