#!/usr/bin/python3
"""The dead-guest check without a VM: monitor sessions recorded on real firmware (QEMU 7.2,
"info registers" and "x /16bx $pc" once a second, with the console's size and the flash's
changes; tests/scripts/data/monitor-sessions.json) replayed through the check, and the registers
of AArch64 and of halted CPUs as QEMU prints them."""

import json
import unittest
from pathlib import Path

from uefi_vm import liveness

SESSIONS = json.loads((Path(__file__).parent / "data/monitor-sessions.json").read_text())


def replay(name: str, read_code: bool = True):
    """The session NAME through the check: (the second of the verdict, the verdict) or None."""
    samples = SESSIONS[name]["samples"]
    code = {}
    for _, registers, _, _, dumped in samples:
        cpu = liveness.parse(registers)
        if cpu is not None:
            code.setdefault(cpu.pc, liveness.dumped(dumped))

    def read(address: int, count: int) -> bytes:
        return code.get(address, b"")[:count]

    watch = liveness.Watch(liveness.STUCK, read if read_code else None)
    for when, registers, console, flash, _ in samples:
        found = watch.add(when, liveness.parse(registers), (console, flash))
        if found:
            return when, found
    return None


class Sessions(unittest.TestCase):
    def test_recorded_sessions(self):
        # (session, the PC judged stuck or None, halted, stuck since, a loop over much code)
        cases = [("spin", 0xFFFFFFF0, False, 0, False), ("halt", 0xFFFFFFF2, True, 0, False),
                 # Silent for half a minute in a REP STOSB, then a #UD that says more: alive.
                 ("ovmf-ia32-reclaim-265841", None, None, None, None),
                 ("boot", None, None, None, None),
                 # Its stores to the flash are progress; the loop after them (from 30 s on)
                 # runs through several images, and is judged once silent for twice --stuck.
                 ("ovmf-reclaim-265809", 0x1F667C00, False, 30, True)]
        for name, pc, halted, since, wide in cases:
            with self.subTest(name=name):
                found = replay(name)
                if pc is None:
                    self.assertIsNone(found)
                    continue
                when, verdict = found
                self.assertEqual((verdict["pc"], verdict["halted"], verdict.get("wide", False)),
                                 (pc, halted, wide))
                self.assertLessEqual(when - since, 60)  # within a minute of getting stuck
                self.assertGreaterEqual(when - since, liveness.STUCK * (2 if wide else 1))
        # A loop and the small function it calls: two places, 0x2eb6 bytes apart.
        when, verdict = replay("trixie-ovmf-ia32-reclaim-267374")
        self.assertEqual({verdict["pc"], *verdict["also"]}, {0x1FFF80A5, 0x1FFF51CF})
        self.assertLessEqual(when, 175 + 30)
        # Without the look at its code, the REP STOSB would pass for a loop.
        self.assertEqual(replay("ovmf-ia32-reclaim-265841", read_code=False)[1]["pc"],
                         0x1FF7C53D)

    def test_what_resets_the_window(self):
        spin = SESSIONS["spin"]["samples"]
        halted = SESSIONS["halt"]["samples"]
        cases = [
            # A write on the console, or to the flash, every ten seconds.
            ("console", [(t, r, int(t) // 10, f) for t, r, _, f, _ in spin]),
            ("flash", [(t, r, c, int(t) // 10) for t, r, c, _, _ in spin]),
            # Halted with its interrupts on: waiting for a timer.
            ("interrupts on", [(t, r.replace("EFL=00000002", "EFL=00000202"), c, f)
                               for t, r, c, f, _ in halted]),
            # User space, or the kernel's upper half.
            ("user", [(t, r.replace("CPL=0", "CPL=3"), c, f) for t, r, c, f, _ in spin]),
            ("kernel", [(t, "RIP=ffffffff81e0c3a0 RFL=00000246 [---Z-P-] CPL=0 II=0 A20=1 "
                         "SMM=0 HLT=0", c, f) for t, _, c, f, _ in spin]),
        ]
        for name, samples in cases:
            with self.subTest(name=name):
                watch = liveness.Watch()
                self.assertEqual([watch.add(t, liveness.parse(r), (c, f))
                                  for t, r, c, f in samples], [None] * len(samples))

    def test_aarch64(self):
        registers = ("PC=000000013f7a4b10 X00=0000000000000000 X01=000000013f7a0000\n"
                     "PSTATE=600003c5 -ZC- EL1h     FPCR=00000000 FPSR=00000000")
        cpu = liveness.parse(registers)
        self.assertEqual((cpu.pc, cpu.firmware), (0x13F7A4B10, True))
        self.assertFalse(liveness.parse(registers.replace("EL1h", "EL0t")).firmware)
        wfi = b"\x7f\x20\x03\xd5"
        for code, stuck in ((b"\x00\x00\x00\x14" * 2, True),  # b . (branch to itself)
                            (wfi + b"\x00\x00\x00\x14", False),  # woken after a WFI
                            (b"\x00\x00\x00\x14" + wfi, False)):
            with self.subTest(code=code.hex()):
                watch = liveness.Watch(24, lambda address, count: code, aarch64=True)
                verdicts = [watch.add(float(t), cpu, (0, 0)) for t in range(30)]
                self.assertEqual(any(verdicts), stuck)

    def test_code_and_verdict(self):
        self.assertEqual(liveness.dumped("00000000fffffff0: 0xeb 0xfe 0xc0\r\n"
                                         "00000000fffffffa: Cannot access memory\r\n"),
                         b"\xeb\xfe\xc0")
        for code, repeats in (("f3aa", True), ("f348ab", True), ("66f3a5", True),
                              ("aa", False), ("f390", False), ("885d00", False), ("", False)):
            with self.subTest(code=code):
                self.assertEqual(liveness.repeats(bytes.fromhex(code)), repeats)
        console = ("Loading driver at 0x0001F665000 EntryPoint=0x0001F6A49AF "
                   "VariableRuntimeDxe.efi\nLoading driver at 0x0001F6E0000 "
                   "EntryPoint=0x0001F6E1000 FaultTolerantWriteDxe.efi\n")
        found = {"pc": 0x1F6683C8, "halted": False, "low": 0x1F6683C8, "high": 0x1F6683D0,
                 "seconds": 24}
        self.assertEqual(liveness.describe(found, console), "the CPU stayed at 0x1f6683c8 (in "
                         "VariableRuntimeDxe.efi), within 9 bytes, for 24 s")
        self.assertEqual(liveness.describe({**found, "high": found["low"]}, ""),
                         "the CPU stayed at 0x1f6683c8 for 24 s")
        self.assertEqual(liveness.describe({**found, "also": [0x1F6E0010]}, console),
                         "the CPU stayed at 0x1f6683c8 (in VariableRuntimeDxe.efi), within 9 "
                         "bytes, calling 0x1f6e0010 (in FaultTolerantWriteDxe.efi), for 24 s")
        self.assertEqual(liveness.describe({**found, "halted": True}, ""),
                         "the CPU halted with its interrupts off at 0x1f6683c8")
        self.assertEqual(liveness.describe({**found, "high": 0x1F6AAEF0, "seconds": 48,
                                            "wide": True}, console),
                         "the CPU ran on in the firmware's code between 0x1f6683c8 and "
                         "0x1f6aaef0, most often at 0x1f6683c8 (in VariableRuntimeDxe.efi), "
                         "for 48 s")
        self.assertIsNone(liveness.image_at(0x1000, console))


if __name__ == "__main__":
    unittest.main(verbosity=2)
