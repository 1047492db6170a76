"""Torn writes: a power cut inside one flash operation, as NOR flash leaves it.

A program on NOR flash only clears bits (1 to 0); only an erase sets them, a whole sector at once,
and a NOR erase first programs its sector to zeros (pre-program), then raises it with pulses. A
cut in the middle of either leaves a state between the operation's start and its end. QEMU's
flash overwrites bytes on a program, so the bits a whole program CLEARS are computed here, from
the bytes before it (OLD) and the bytes it wrote (NEW): C = OLD & ~NEW. A bit the program would
set (QEMU allows it, NOR does not) stays as it was.

The modes, one rule each (R: seeded random bits, about half of them set):

    program, the bytes it wrote          OLD & ~(C & M), where M is:
      some     real    R: a seeded subset of the bits the program clears (over a write buffer,
                       scattered over all of it: more than a chip that programs it word by word
                       in order would leave)
      one      real    one seeded bit of C: only one of them
      most     real    every bit of C but one seeded bit
      first    real    every bit of the first j bytes C touches (1 <= j < their count): a write
                       buffer cut short (AArch64 edk2 programs a buffer of up to 128 bytes)
    erase, its sector                    the sector becomes:
      preprog  real    OLD & R: cut in its pre-program phase, about half the bits cleared
      zeros    real    00 everywhere: the pre-program done, no pulse yet
      rising   real    R: the pulses begun, bits rising from zero, partly
      part     worst   FF over the first j bytes (1 <= j < the sector's size), OLD after: an
                       erase cut when partly done, as a chip that erases a sector in pieces would
                       leave it (one sector erases at once on NOR)
      raise    worst   OLD | R: some bits of the old bytes raised and none cleared, as if the
                       pre-program were skipped (pessimistic)

A variant's bits come from SHA-256 of the log's hash (its operations up to the torn one), the
kind, k, the mode, the variant and the seed: the same run with the same seed gives the same bytes
on any Python. An operation that changes nothing (a program that clears no bit, an erase of a
blank sector) is not torn at all."""

import hashlib
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

# A mode's rule: (C or OLD, the size in bytes, the variant's bits) -> M, or the sector's bytes,
# as an integer (None: the mode does not apply).
Tear = Callable[[int, int, "Bits"], Optional[int]]


class Bits:
    """A variant's seeded bits: SHA-256 of its key and a block counter, block after block."""

    def __init__(self, key: str):
        self.key = key.encode()

    def stream(self, size: int) -> bytes:
        blocks = (hashlib.sha256(self.key + b"|" + str(n).encode()).digest()
                  for n in range(-(-size // 32)))
        return b"".join(blocks)[:size]

    def mask(self, size: int) -> int:
        """SIZE bytes of seeded bits, as an integer (byte 0 the most significant)."""
        return int.from_bytes(self.stream(size), "big")

    def below(self, count: int) -> int:
        """A seeded number from 0 to COUNT - 1 (from its own key: not the mask's bits)."""
        return int.from_bytes(hashlib.sha256(self.key + b"|pick").digest(), "big") % count


def set_bits(value: int) -> List[int]:
    found = []
    while value:
        low = value & -value
        found.append(low)
        value ^= low
    return found


def _one(cleared: int, size: int, bits: Bits) -> int:
    every = set_bits(cleared)
    return every[bits.below(len(every))]


def _first(cleared: int, size: int, bits: Bits) -> Optional[int]:
    """The bits of C in the first j of the bytes C touches, in the order the buffer runs."""
    touched = [at for at in range(size) if (cleared >> (8 * (size - 1 - at))) & 0xFF]
    if len(touched) < 2:
        return None
    j = 1 + bits.below(len(touched) - 1)
    after = 8 * (size - 1 - touched[j - 1])  # the bits of the bytes after the j-th
    return cleared >> after << after


def _part(old: int, size: int, bits: Bits) -> int:
    j = 1 + bits.below(size - 1)
    return (((1 << (8 * j)) - 1) << (8 * (size - j))) | (old & ((1 << (8 * (size - j))) - 1))


@dataclass(frozen=True)
class Mode:
    name: str
    on: str  # "program" or "erase"
    real: bool  # False: a worst case no NOR chip is known to leave
    seeded: bool  # False: one variant only
    rule: Tear  # program modes: (C, size, bits) -> M; erase modes: (OLD, size, bits) -> bytes


MODES: Tuple[Mode, ...] = (
    Mode("some", "program", True, True, lambda c, size, bits: bits.mask(size)),
    Mode("one", "program", True, True, lambda c, size, bits: _one(c, size, bits)),
    Mode("most", "program", True, True, lambda c, size, bits: c & ~_one(c, size, bits)),
    Mode("first", "program", True, True, _first),
    Mode("preprog", "erase", True, True, lambda old, size, bits: old & bits.mask(size)),
    Mode("zeros", "erase", True, False, lambda old, size, bits: 0),
    Mode("rising", "erase", True, True, lambda old, size, bits: bits.mask(size)),
    Mode("part", "erase", False, True, lambda old, size, bits: _part(old, size, bits)),
    Mode("raise", "erase", False, True, lambda old, size, bits: old | bits.mask(size)),
)
BY_NAME: Dict[str, Mode] = {mode.name: mode for mode in MODES}


def parse(text: str) -> List[Tuple[Mode, int]]:
    """--torn's MODES: "all" or a comma list of mode names, each with ":N" for N variants (one
    by default); a ValueError says what is wrong."""
    chosen: List[Tuple[Mode, int]] = []
    for word in text.split(","):
        name, _, count = word.strip().partition(":")
        try:
            variants = int(count) if count else 1
        except ValueError:
            variants = 0
        if variants < 1:
            raise ValueError(f"--torn: {word!r} needs a number of variants of at least 1")
        modes = MODES if name == "all" else [BY_NAME.get(name)]
        if modes[0] is None:
            raise ValueError(f"--torn: no mode {name!r} (the modes: all, "
                             f"{', '.join(BY_NAME)})")
        for mode in modes:
            if all(mode is not there for there, _ in chosen):
                chosen.append((mode, variants if mode.seeded else 1))
    return chosen


@dataclass
class Torn:
    """One torn operation: the region it covers (each run of the operation, or its sector) as it
    was before (OLD), as the whole operation left it (WHOLE) and as the cut left it (TORN)."""
    mode: Mode
    variant: int
    runs: Tuple[Tuple[int, int], ...]  # (offset, length) of each run of the region
    old: bytes
    whole: bytes
    torn: bytes

    def line(self) -> str:
        """The torn operation exactly: a program as the log writes one, with the bytes it left;
        an erase by its sector and the SHA-256 of the bytes the cut left there."""
        if self.mode.on == "erase":
            offset, length = self.runs[0]
            digest = hashlib.sha256(self.torn).hexdigest()
            return f"E {offset:x} {length:x} sha256={digest}"
        words, at = [], 0
        for offset, length in self.runs:
            words += [f"{offset:x}", self.torn[at:at + length].hex()]
            at += length
        return "W " + " ".join(words)

    def apply(self, image: bytearray) -> bytearray:
        at = 0
        for offset, length in self.runs:
            image[offset:offset + length] = self.torn[at:at + length]
            at += length
        return image


def region(op, image) -> Tuple[Tuple[Tuple[int, int], ...], bytes, bytes]:
    """OP's region in IMAGE (the store before it): its runs, the bytes there, and the bytes the
    whole operation leaves, as QEMU leaves them."""
    if op.erase:
        offset, length = op.erase
        return ((offset, length),), bytes(image[offset:offset + length]), b"\xff" * length
    runs = tuple((offset, len(data)) for offset, data in op.runs)
    old = b"".join(bytes(image[offset:offset + length]) for offset, length in runs)
    return runs, old, b"".join(data for _, data in op.runs)


def unchanged(op, old: bytes, whole: bytes) -> bool:
    """An operation a cut cannot tear: a program that clears no bit, an erase of a blank
    sector."""
    if op.erase:
        return old == whole
    return int.from_bytes(old, "big") & ~int.from_bytes(whole, "big") == 0


def key(log_hash: str, kind: str, k: int, mode: str, variant: int, seed: int) -> str:
    return f"{log_hash}|{kind}|{k}|{mode}|{variant}|{seed}"


def tear(op, image, chosen: Sequence[Tuple[Mode, int]], log_hash: str, kind: str, k: int,
         seed: int) -> List[Torn]:
    """OP cut in every way CHOSEN asks (each mode of its kind of operation, each variant), on
    IMAGE, the store before OP; none when OP changes nothing."""
    runs, old, whole = region(op, image)
    if unchanged(op, old, whole):
        return []
    size = len(old)
    before = int.from_bytes(old, "big")
    cleared = before & ~int.from_bytes(whole, "big")
    found = []
    for mode, variants in chosen:
        if mode.on != ("erase" if op.erase else "program"):
            continue
        for variant in range(1, variants + 1):
            bits = Bits(key(log_hash, kind, k, mode.name, variant, seed))
            if op.erase:
                after = mode.rule(before, size, bits)
            else:
                mask = mode.rule(cleared, size, bits)
                after = None if mask is None else before & ~(cleared & mask)
            if after is not None:
                found.append(Torn(mode, variant, runs, old, whole, after.to_bytes(size, "big")))
    return found


def between(read: Optional[str], old: Optional[str], new: Optional[str]) -> bool:
    """Whether a value read (hex, as the tool prints it) lies bit for bit between OLD and NEW:
    every bit they share, and each other bit from one of them."""
    if read is None or old is None or new is None:
        return False
    value, one, other = (bytes.fromhex(text) for text in (read, old, new))
    if not len(value) == len(one) == len(other):
        return False
    return all(a & b & ~r == 0 and r & ~(a | b) == 0 for r, a, b in zip(value, one, other))
