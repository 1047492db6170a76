"""Whether a booting guest's CPU still makes progress, from the registers QEMU's monitor shows
("info registers", once a second): a firmware stuck in a few bytes of code (one or two places of
64 bytes, a loop and the small function it calls, hold four readings in five), or halted with its
interrupts off, with nothing written on its console nor to its flash all along, is dead, and
waiting out the time-out (minutes) learns nothing more. So is a firmware that runs on in its own
code for twice as long (WIDE) with nothing written anywhere: a loop that polls for something
that never comes, through a dozen functions of several images (OVMF's hang at its reclaim's
work-space write, where the variable driver serves a store the fault-tolerant write has just
rewritten), makes no progress either, and no boot of a firmware stays that long in it without
printing a line or writing its flash.

What never counts as stuck, so that a slow boot is never judged dead: a sample outside the
firmware (the kernel's upper half, user space), a CPU halted with its interrupts on (it waits for
a timer, which QEMU's monitor polls wake), an AArch64 CPU at a WFI (it wakes on any interrupt,
masked or not), an x86 CPU in a REP string instruction (a count that ends: 32-bit OVMF with SMM
clears memory with a garbage length for half a minute or more before its #UD), and any window
with a write on the console or to the flash. A loop that walks memory counts as stuck however its
registers change: OVMF's hang at a torn work space stores to the flash byte after byte at one
instruction, which programs nothing, for as long as one waits."""

import re
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple

STUCK = 24.0  # seconds a CPU stays in a few bytes of code before it is judged dead
WIDE = 2  # times STUCK: a firmware silent that long, wherever its CPU runs, is dead too
WIDE_LOOKS = 4  # the PCs seen most often that a wide window checks for a wait or a count
SAMPLE_EVERY = 1.0  # seconds between two readings of the registers
SPAN = 64  # bytes: "a few bytes of code", a loop and the instructions around it
PLACES = 2  # such spans: a loop and the small function it calls, again and again
SHARE = 0.8  # of the samples in those spans: the rest are the timer's interrupts
MIN_SAMPLES = 8  # a window needs this many readings (the monitor can be slow under load)
WFI = bytes.fromhex("7f2003d5")  # AArch64's wait for interrupt, as memory holds it
# x86: the prefixes that may come before REP, and the string instructions REP repeats.
X86_PREFIXES = {0x66, 0x67, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, *range(0x40, 0x50)}
X86_STRINGS = {0x6C, 0x6D, 0x6E, 0x6F, *range(0xA4, 0xA8), *range(0xAA, 0xB0)}

# x86: "RIP=...", or "EIP=..." in 32-bit and real mode, with CS's base (real mode's 0xffff0000).
_X86_PC = re.compile(r"\b[RE]IP=([0-9a-fA-F]+)")
_X86_FLAGS = re.compile(r"\b[RE]FL=([0-9a-fA-F]+)")
_X86_CS = re.compile(r"^CS =[0-9a-fA-F]+ ([0-9a-fA-F]+)", re.MULTILINE)
_X86_STATE = re.compile(r"\bCPL=(\d).*\bHLT=(\d)")
# AArch64: "PC=...", and "PSTATE=... EL1h".
_ARM_PC = re.compile(r"\bPC=([0-9a-fA-F]+)")
_ARM_EL = re.compile(r"\bPSTATE=[0-9a-fA-F]+ \S* ?EL(\d)")
IF_FLAG = 0x200
FIRMWARE_TOP = 1 << 47  # the kernels run in the upper half of the address space; firmwares below

# The images a DEBUG build of edk2 names as it loads them, with their bases.
LOADED = re.compile(r"Loading (?:\w+ )*?(?:driver|PEIM|image)\w* at 0x([0-9A-Fa-f]+) "
                    r"EntryPoint=0x[0-9A-Fa-f]+ (\S+?\.efi)")
IMAGE_MAX = 4 << 20  # a PC this far past the nearest base named is in none of them


@dataclass(frozen=True)
class Cpu:
    """One reading of the registers: PC, and what it says of the CPU."""

    pc: int
    firmware: bool  # privileged code in the lower half: the firmware
    halted: bool = False  # x86 HLT
    interrupts: bool = True  # x86 IF; AArch64 always wakes from WFI


def parse(text: str) -> Optional[Cpu]:
    """The first CPU of "info registers" (x86 or AArch64); None when the text shows neither."""
    found = _X86_PC.search(text)
    if found:
        pc = int(found.group(1), 16)
        base = _X86_CS.search(text)
        if base and found.group(0).startswith("EIP"):
            pc += int(base.group(1), 16)
        flags = _X86_FLAGS.search(text)
        state = _X86_STATE.search(text)
        privileged = state is None or state.group(1) == "0"
        return Cpu(pc, privileged and pc < FIRMWARE_TOP,
                   halted=bool(state and state.group(2) == "1"),
                   interrupts=not flags or bool(int(flags.group(1), 16) & IF_FLAG))
    found = _ARM_PC.search(text)
    if found:
        pc = int(found.group(1), 16)
        level = _ARM_EL.search(text)
        return Cpu(pc, (level is None or level.group(1) != "0") and pc < FIRMWARE_TOP)
    return None


def image_at(pc: int, console: str) -> Optional[str]:
    """The image whose load the console reported nearest below PC, when the console names any."""
    best: Optional[Tuple[int, str]] = None
    for found in LOADED.finditer(console):
        base = int(found.group(1), 16)
        if base <= pc < base + IMAGE_MAX and (best is None or base > best[0]):
            best = (base, found.group(2))
    return best[1] if best else None


@dataclass
class Sample:
    when: float
    cpu: Optional[Cpu]
    output: object  # the console's size and the flash's stamp: any change is progress


def repeats(code: bytes) -> bool:
    """Whether CODE begins with an x86 REP string instruction."""
    at = 0
    while at < len(code) and code[at] in X86_PREFIXES | {0xF2, 0xF3}:
        at += 1
    return (at < len(code) and code[at] in X86_STRINGS
            and any(byte in (0xF2, 0xF3) for byte in code[:at]))


def waits(code: bytes) -> bool:
    """Whether CODE (4 bytes before the PC, then the PC's) holds an AArch64 WFI at either."""
    return code[0:4] == WFI or code[4:8] == WFI


def dumped(text: str) -> bytes:
    """The bytes of QEMU's "x /Nbx" answer: lines of "ADDRESS: 0x.. 0x.."."""
    found = bytearray()
    for line in text.splitlines():
        _, _, values = line.partition(":")
        for word in values.split():
            try:
                found.append(int(word, 16))
            except ValueError:
                return bytes(found)
    return bytes(found)


# Reads COUNT bytes of the guest's memory at an address, as the CPU sees it; b"" when it cannot.
Reader = Callable[[int, int], bytes]


class Watch:
    """The registers read over time; `add` says, once the CPU has been stuck for LIMIT seconds,
    what was seen. READ reads the code at the PC, to tell a wait or a count that ends from a
    loop; AARCH64 says which instructions those are."""

    def __init__(self, limit: float = STUCK, read: Optional[Reader] = None,
                 aarch64: bool = False):
        self.limit, self.read, self.aarch64 = limit, read, aarch64
        self.samples: List[Sample] = []

    def add(self, when: float, cpu: Optional[Cpu], output: object) -> Optional[Dict]:
        """Adds one reading; the verdict once the CPU is stuck: {"pc", "halted", "seconds"}."""
        if self.samples and self.samples[-1].output != output:
            self.samples = []
        if cpu is None or not cpu.firmware or (cpu.halted and cpu.interrupts):
            # Not the firmware, or waiting for an interrupt that will come: alive.
            self.samples = [Sample(when, None, output)]
            return None
        self.samples.append(Sample(when, cpu, output))
        window = [s for s in self.samples if s.cpu is not None]
        if not window or when - window[0].when < self.limit or len(window) < MIN_SAMPLES:
            return None
        since = window
        window = [s for s in window if when - s.when <= self.limit + SAMPLE_EVERY]
        spots = clusters([s.cpu.pc for s in window])[:PLACES]
        if sum(len(spot) for spot in spots) < SHARE * len(window) or len(window) < MIN_SAMPLES:
            return self._wide(when, since)
        # The PC seen most often in each place: a REP or a WFI there is a wait that ends.
        seen = [max(set(spot), key=spot.count) for spot in spots]
        if self.read is not None and any(self._ends(pc) for pc in seen):
            self.samples = []
            return None
        main = spots[0]
        halted = all(s.cpu.halted for s in window if s.cpu.pc == seen[0])
        return {"pc": seen[0], "also": seen[1:], "halted": halted, "low": min(main),
                "high": max(main), "seconds": round(when - window[0].when)}

    def _wide(self, when: float, window: List[Sample]) -> Optional[Dict]:
        """The verdict on a firmware silent for WIDE times the limit, its CPU anywhere in its own
        code; none while the PCs seen most often include a wait or a count that ends."""
        if when - window[0].when < WIDE * self.limit or len(window) < WIDE * MIN_SAMPLES:
            return None
        pcs = [s.cpu.pc for s in window]
        seen = sorted(set(pcs), key=lambda pc: (-pcs.count(pc), pc))[:WIDE_LOOKS]
        if self.read is not None and any(self._ends(pc) for pc in seen):
            self.samples = []
            return None
        return {"pc": seen[0], "also": [], "halted": False, "low": min(pcs), "high": max(pcs),
                "seconds": round(when - window[0].when), "wide": True}

    def _ends(self, pc: int) -> bool:
        """Whether the CPU at PC waits for an interrupt (AArch64) or runs a count down (x86)."""
        if self.aarch64:
            return waits(self.read(pc - 4, 8))
        return repeats(self.read(pc, 15))


def clusters(pcs: List[int]) -> List[List[int]]:
    """PCS cut into places of at most SPAN bytes each, the most visited first."""
    places: List[List[int]] = []
    for pc in sorted(pcs):
        if places and pc - places[-1][0] <= SPAN:
            places[-1].append(pc)
        else:
            places.append([pc])
    return sorted(places, key=len, reverse=True)


def describe(found: Dict, console: str) -> str:
    """The verdict's words: the PC, and the image the console names for it."""
    def named(pc: int) -> str:
        image = image_at(pc, console)
        return f"{pc:#x}" + (f" (in {image})" if image else "")

    if found["halted"]:
        return f"the CPU halted with its interrupts off at {named(found['pc'])}"
    if found.get("wide"):
        return (f"the CPU ran on in the firmware's code between {found['low']:#x} and "
                f"{found['high']:#x}, most often at {named(found['pc'])}, "
                f"for {found['seconds']} s")
    span = found["high"] - found["low"]
    words = [f"the CPU stayed at {named(found['pc'])}"]
    if span:
        words.append(f"within {span + 1} bytes")
    if found.get("also"):
        words.append("calling " + " and ".join(named(pc) for pc in found["also"]))
    return ", ".join(words) + ("," if len(words) > 1 else "") + f" for {found['seconds']} s"
