"""The variable store's flash, write by write: QEMU's trace of its pflash device turned into a log
of program and erase operations, and any prefix of that log replayed onto the store the run began
with, which gives the store exactly as a power cut after that operation leaves it.

The log is text, one line each:

    kestomandrel flash log 1          the first line
    W 4c2e 3f                         one program operation: bytes (hex) at an offset (hex) of the
                                      store file; a write buffer that programmed several runs at
                                      once has more offset and bytes pairs on its line
    E 42000 1000                      one erase: that many bytes (hex) from the offset become FF
    # ready                           where the guest's agent said it was ready (the boot is over);
                                      "# run N" and "# end N STATUS" frame the N-th command;
                                      "# cut" is where the power was cut

The x86 firmwares program one byte at a time. AArch64 edk2 programs through the flash's write
buffer: QEMU keeps the buffered words aside and puts them into the file only when the firmware
confirms the buffer, so a whole buffer is one operation, as QEMU makes it (an aborted buffer writes
nothing)."""

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

HEADER = "kestomandrel flash log 1"

# The trace events QEMU must record: every way its CFI01 flash changes the file.
EVENTS = ("pflash_data_write", "pflash_data_write_block", "pflash_write_block_start",
          "pflash_write_block_flush", "pflash_write_block_abort", "pflash_write_block_erase")

# "[PID@SECONDS:]EVENT DEVICE: ..."; the store is the machine's second flash device.
_LINE = re.compile(r"^(?:\d+@[\d.]+:)?(pflash_\w+) (\S+): (.*)$")
_DATA = re.compile(r"data offset:0x([0-9a-f]+) size:(\d+) value:0x([0-9a-f]+)")
_ERASE = re.compile(r"block erase offset:0x([0-9a-f]+) bytes:0x([0-9a-f]+)")


@dataclass(frozen=True)
class Op:
    """One operation on the flash: a program of RUNS ((offset, bytes), ...), or an erase of
    LENGTH bytes from OFFSET."""

    runs: Tuple[Tuple[int, bytes], ...] = ()
    erase: Optional[Tuple[int, int]] = None

    @property
    def offset(self) -> int:
        return self.erase[0] if self.erase else self.runs[0][0]

    @property
    def size(self) -> int:
        return self.erase[1] if self.erase else sum(len(data) for _, data in self.runs)

    def line(self) -> str:
        if self.erase:
            return f"E {self.erase[0]:x} {self.erase[1]:x}"
        return "W " + " ".join(f"{offset:x} {data.hex()}" for offset, data in self.runs)


def _merged(words: List[Tuple[int, bytes]]) -> Tuple[Tuple[int, bytes], ...]:
    """A write buffer's words as runs of adjacent bytes, later words over earlier ones."""
    image: Dict[int, int] = {}
    for offset, data in words:
        for i, byte in enumerate(data):
            image[offset + i] = byte
    runs: List[Tuple[int, bytearray]] = []
    for offset in sorted(image):
        if runs and runs[-1][0] + len(runs[-1][1]) == offset:
            runs[-1][1].append(image[offset])
        else:
            runs.append((offset, bytearray([image[offset]])))
    return tuple((offset, bytes(data)) for offset, data in runs)


def ops_of_trace(lines: Iterator[str]) -> Iterator[Optional[Op]]:
    """The store's operations in QEMU's trace lines; None for a line that changes nothing, so that
    a caller can follow its position in the trace."""
    buffered: Optional[List[Tuple[int, bytes]]] = None
    for line in lines:
        match = _LINE.match(line.rstrip("\n"))
        if not match or not match.group(2).endswith("flash1"):
            yield None
            continue
        event, rest = match.group(1), match.group(3)
        if event in ("pflash_data_write", "pflash_data_write_block"):
            data = _DATA.search(rest)
            if data is None:
                yield None
                continue
            offset, size, value = int(data.group(1), 16), int(data.group(2)), int(data.group(3), 16)
            word = (offset, value.to_bytes(size, "little"))
            if event == "pflash_data_write_block" and buffered is not None:
                buffered.append(word)
                yield None
            else:
                yield Op(runs=(word,))
        elif event == "pflash_write_block_start":
            buffered = []
            yield None
        elif event == "pflash_write_block_flush":
            words, buffered = buffered or [], None
            yield Op(runs=_merged(words)) if words else None
        elif event == "pflash_write_block_abort":
            buffered = None
            yield None
        elif event == "pflash_write_block_erase":
            erase = _ERASE.search(rest)
            yield Op(erase=(int(erase.group(1), 16), int(erase.group(2), 16))) if erase else None
        else:
            yield None


def convert(trace: Path, log: Path, markers: Sequence[Tuple[int, str]]) -> int:
    """Writes LOG from QEMU's TRACE file; MARKERS are (the trace's size then, text), each put before
    the first operation that lies beyond it in the trace. A last line QEMU did not finish (it was
    killed) is left out. Returns the number of operations."""
    pending = sorted(markers, key=lambda marker: marker[0])
    count = 0
    with open(trace, "rb") as source, open(log, "w") as out:
        out.write(HEADER + "\n")

        def lines() -> Iterator[str]:
            position = 0
            for raw in source:
                if not raw.endswith(b"\n"):
                    return
                while pending and pending[0][0] <= position:
                    out.write(f"# {pending.pop(0)[1]}\n")
                position += len(raw)
                yield raw.decode(errors="replace")

        for op in ops_of_trace(lines()):
            if op is not None:
                out.write(op.line() + "\n")
                count += 1
        for _, text in pending:
            out.write(f"# {text}\n")
    return count


@dataclass
class Log:
    ops: List[Op]
    markers: List[Tuple[int, str]]  # (operations before it, text)

    def marker(self, text: str) -> Optional[int]:
        for index, found in self.markers:
            if found == text:
                return index
        return None


class BadLog(Exception):
    pass


def parse_op(line: str) -> Op:
    words = line.split()
    try:
        if words[0] == "E" and len(words) == 3:
            return Op(erase=(int(words[1], 16), int(words[2], 16)))
        if words[0] == "W" and len(words) >= 3 and len(words) % 2 == 1:
            runs = tuple((int(words[i], 16), bytes.fromhex(words[i + 1]))
                         for i in range(1, len(words), 2))
            if all(data for _, data in runs):
                return Op(runs=runs)
    except ValueError:
        pass
    raise BadLog(f"not an operation: {line.strip()!r}")


def read(path: Path) -> Log:
    ops: List[Op] = []
    markers: List[Tuple[int, str]] = []
    with open(path) as source:
        if source.readline().rstrip("\n") != HEADER:
            raise BadLog(f"{path} is not a flash log (its first line is not {HEADER!r})")
        for number, line in enumerate(source, start=2):
            if line.startswith("#"):
                markers.append((len(ops), line[1:].strip()))
            elif line.strip():
                try:
                    ops.append(parse_op(line))
                except BadLog as bad:
                    raise BadLog(f"{path}:{number}: {bad}") from None
    return Log(ops, markers)


def apply(image: bytearray, ops: Sequence[Op]) -> bytearray:
    """Plays OPS onto IMAGE as QEMU's flash did: a program sets its bytes (QEMU does not AND them
    with the old ones), an erase sets its block to FF."""
    size = len(image)
    for op in ops:
        if op.erase:
            offset, length = op.erase
            if offset + length > size:
                raise BadLog(f"an erase of {length:#x} bytes at {offset:#x} goes past the store's "
                             f"end ({size:#x})")
            image[offset:offset + length] = b"\xff" * length
        else:
            for offset, data in op.runs:
                if offset + len(data) > size:
                    raise BadLog(f"a write at {offset:#x} goes past the store's end ({size:#x})")
                image[offset:offset + len(data)] = data
    return image


def rebuild(start: bytes, ops: Sequence[Op], count: int) -> bytes:
    """The store after the first COUNT operations."""
    return bytes(apply(bytearray(start), ops[:count]))
