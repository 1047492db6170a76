#!/usr/bin/python3
"""A firmware no name of scripts/uefi-vm stands for: Debian's older 2 MB OVMF build (a 128 KiB
store), through a descriptor made here, writes and reads a variable on a kept store; and an
executable of random bytes, of the size the flash takes, is refused long before the time-out, with
no QEMU left, and so is one whose CPU spins at its reset vector, judged stuck, and Debian 12's
OVMF on a kept store whose cut hangs it in a loop through much of its code.

    tests/uefi/descriptor_test.py --tool PATH [unittest options]
"""

import json
import lzma
import random
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import processes

ROOT = Path(__file__).resolve().parents[2]
VM = ROOT / "scripts/uefi-vm"
VENDOR = "{4B4D5646-0001-4E6F-8000-4B45535443AE}"
CODE, STORE = "/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"
TOOL = []


class OwnFirmware(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = Path(work.name)
        self.descriptor = self.work / "ovmf-2m.json"
        self.descriptor.write_text(json.dumps({
            "description": "OVMF, the 2 MB build", "interface-types": ["uefi"],
            "mapping": {"device": "flash", "executable": {"filename": CODE, "format": "raw"},
                        "nvram-template": {"filename": STORE, "format": "raw"}},
            "targets": [{"architecture": "x86_64", "machines": ["pc-q35-*"]}],
            "features": ["acpi-s3"]}))

    def vm(self, *arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run([str(VM), "--firmware", str(self.descriptor), *TOOL, *arguments],
                              capture_output=True, timeout=600)

    def test_a_write_and_a_read_on_a_kept_store(self):
        store = self.work / "store.fd"
        wrote = self.vm("--vars", str(store), "--", "/s", "KmOwn", VENDOR, "2", "41", "42")
        self.assertEqual((wrote.returncode, wrote.stderr), (0, b""))
        self.assertTrue(wrote.stdout.endswith(b"\nVariable Set successfully...!!!"), wrote.stdout)
        self.assertEqual(store.stat().st_size, 128 * 1024)
        read = self.vm("--vars", str(store), "--", "/g", "KmOwn", VENDOR)
        self.assertEqual((read.returncode, read.stderr), (0, b""))
        self.assertIn(b"Length : 2(0x2) bytes\n In Hex Bytes:\n 41  42 \n", read.stdout)

    def test_garbage_is_refused_long_before_the_time_out(self):
        garbage = self.work / "garbage.fd"
        garbage.write_bytes(random.Random(1).randbytes(Path(CODE).stat().st_size))
        started = time.monotonic()
        run = self.vm("--code", str(garbage), "--timeout", "240", "--", "/g", "BootOrder")
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual((run.returncode, run.stdout), (125, b""))
        self.assertIn(b"(--code " + bytes(garbage) + b"): the firmware had written nothing on its "
                      b"console", run.stderr.splitlines()[-1])
        self.assertEqual(processes.qemus(naming=garbage), [])

    def test_a_cpu_stuck_is_judged_dead_long_before_the_time_out(self):
        # OVMF's code with a jump to itself at the reset vector: the CPU never leaves it, the
        # console stays empty and the flash untouched. The silence check is off, as the benches
        # have it.
        spin = self.work / "spin.fd"
        code = bytearray(Path(CODE).read_bytes())
        code[-16:-14] = b"\xeb\xfe"
        spin.write_bytes(code)
        started = time.monotonic()
        run = self.vm("--code", str(spin), "--silence", "0", "--timeout", "240", "--", "/g",
                      "BootOrder")
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual((run.returncode, run.stdout), (125, b""))
        self.assertIn(b"the guest's CPU made no progress", run.stderr)
        # At least --stuck's 24 s: a loaded machine reads the registers late, and says 25.
        stayed = re.search(rb"the CPU stayed at 0xfffffff0 for (\d+) s", run.stderr)
        self.assertIsNotNone(stayed, run.stderr)
        self.assertGreaterEqual(int(stayed.group(1)), 24)
        self.assertEqual(processes.qemus(naming=spin), [])


class Hang(unittest.TestCase):
    def test_a_firmware_looping_through_its_code_is_judged_dead_within_a_minute(self):
        # Debian 12's OVMF on a store cut at its reclaim's work-space write: half a minute of
        # stores to the flash, then a silent loop through five images for as long as one waits.
        with tempfile.TemporaryDirectory() as work:
            store = Path(work, "store.fd")
            store.write_bytes(lzma.decompress(
                (ROOT / "doc/findings/ovmf-reclaim-265809.fd.xz").read_bytes()))
            started = time.monotonic()
            run = subprocess.run([str(VM), "--firmware", "ovmf", *TOOL, "--vars", str(store),
                                  "--silence", "0", "--timeout", "400", "--", "/g", "BootOrder"],
                                 capture_output=True, timeout=600)
            self.assertLess(time.monotonic() - started, 300)
            self.assertEqual((run.returncode, run.stdout), (125, b""))
            ran = re.search(rb"the guest's CPU made no progress ([\d.]+) s after QEMU started: "
                            rb"the CPU ran on in the firmware's code between 0x\w+ and 0x\w+, "
                            rb"most often at 0x\w+, for (\d+) s", run.stderr)
            self.assertIsNotNone(ran, run.stderr)
            # Twice --stuck after the last flash write, which comes within a minute.
            self.assertGreaterEqual(int(ran.group(2)), 48)
            self.assertEqual(processes.qemus(naming=store), [])


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if "--tool" in arguments:
        at = arguments.index("--tool")
        TOOL[:] = arguments[at:at + 2]
        del arguments[at:at + 2]
    unittest.main(argv=[sys.argv[0]] + arguments, verbosity=2)
