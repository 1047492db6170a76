"""--sweep --write CMD: the writes of one tool command, run once on the factory store after the
commands that prepare it (--setup CMD, in order), all in one logged run of scripts/uefi-vm. The
update's writes are those between the marks the harness puts around the write command in the
flash log; V is the variable the write command names (/s NAME GUID ...)."""

import shlex
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from ... import flashlog, store, text
from .bench import Bench, BenchError, progress, said


@dataclass
class Write:
    setup: List[List[str]]  # each a tool command line, split as a shell splits it
    write: List[str]
    files: List[Path]  # sent into the guest's /work/, named by their base names
    given: Dict[str, object]  # the command lines as given: {"setup": [...], "write": "..."}

    @property
    def name(self) -> str:
        return self.write[1]

    @property
    def guid(self) -> str:
        """V's GUID as efivarfs names it: lower case, no braces."""
        return str(uuid.UUID(self.write[2].strip("{}")))

    def lines(self) -> List[str]:
        """The batch's shell lines: each setup command, then the write."""
        return [" ".join(["kestomandrel", *map(shlex.quote, words)])
                for words in (*self.setup, self.write)]


def parse(setup: Sequence[str], write: str, files: Sequence[Path]) -> Write:
    """The commands as given on the bench's command line; a ValueError says what is wrong."""
    try:
        setups = [shlex.split(line) for line in setup]
        words = shlex.split(write)
    except ValueError as bad:
        raise ValueError(f"a command line that does not split: {bad}") from None
    if any(not line for line in setups):
        raise ValueError("--setup needs a tool command line")
    if len(words) < 3 or words[0].lower() != "/s":
        raise ValueError("--write needs a tool command that sets a variable: /s NAME GUID ...")
    try:
        uuid.UUID(words[2].strip("{}"))
    except ValueError:
        raise ValueError(f"--write: {words[2]!r} is not a GUID") from None
    return Write(setups, words, list(files), {"setup": list(setup), "write": write})


@dataclass
class Span:
    """The write command's writes in the log: FIRST writes were done before it began, LAST when
    it ended; V's value then (hex, None when V is absent)."""
    first: int
    last: int
    old: Optional[str]
    new: Optional[str]


def span(start: bytes, log: flashlog.Log, command: int, key: str) -> Span:
    """Where command number COMMAND (from 1) of the run lies in LOG, and V (KEY) before and
    after it."""
    first = log.marker(f"run {command}")
    last = next((at for at, mark in log.markers if mark.startswith(f"end {command} ")), None)
    if first is None or last is None:
        raise BenchError(f"write: the flash log does not mark where command {command} ran")

    def value(count: int) -> Optional[str]:
        found = store.variables(flashlog.rebuild(start, log.ops, count)).get(key)
        return text.hex_text(found[1]) if found else None

    return Span(first, last, value(first), value(last))


def logged_write(bench: Bench, start: bytes, command: Write) -> Tuple[flashlog.Log, Path, Span]:
    """The setup commands and the write run on START in one boot, its flash logged; each must
    succeed and the log must replay to the store the run left."""
    run = bench.work / "write"
    run.mkdir()
    image, log_path, batch = run / "store.fd", bench.work / "sweep.log", run / "batch"
    image.write_bytes(start)
    lines = command.lines()
    batch.write_text("".join(line + "\n" for line in lines))
    progress(f"sweep: {len(command.setup)} setup commands and the write on a fresh store, its "
             "flash logged")
    files = [argument for path in command.files
             for argument in ("--file", f"@in/files/{path.name}")]
    outputs = ["store.fd", "flash.log"] + [f"out/{number}.{what}"
                                           for number in range(1, len(lines) + 1)
                                           for what in ("status", "out")]
    ran = bench.executor.run(
        bench.seam_argv("--vars", "@in/store.fd", "--flash-log", "@out/flash.log", *files,
                        "--batch", "@in/batch", "--out", "@out/out"),
        {"store.fd": start, "batch": batch.read_bytes(),
         **{f"files/{path.name}": path.read_bytes() for path in command.files}},
        outputs, "the logged write")
    status = ran["status"]
    for name, data in ran["outputs"].items():
        target = image if name == "store.fd" else log_path if name == "flash.log" else run / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    if status != 0:
        raise BenchError(f"write: scripts/uefi-vm ended with {status}" + said(ran))
    for number, line in enumerate(lines, start=1):
        ended = (run / "out" / f"{number}.status").read_text().strip()
        if ended != "0":
            printed = (run / "out" / f"{number}.out").read_text(errors="replace").strip()
            raise BenchError(f"write: {line!r} ended with {ended}: {printed[-200:]}")
    log = flashlog.read(log_path)
    if flashlog.rebuild(start, log.ops, len(log.ops)) != image.read_bytes():
        raise BenchError("the flash log, replayed, does not give the store the run left")
    return log, log_path, span(start, log, len(lines), bench.key)
