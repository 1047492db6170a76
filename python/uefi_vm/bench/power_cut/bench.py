"""What every kind of cut shares: the run's settings (the firmware, the tool, the variable, where
stores go), its progress lines, the bench's own failure, and the factory store."""

import shlex
import shutil
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional, Tuple

from ... import firmware as firmwares
from ... import paths, text
from . import torn

FAILED = 125
VM = paths.harness()
progress = text.progress_printer("power-cut")


class BenchError(Exception):
    """The bench itself failed: status 125."""


@dataclass
class TornPlan:
    """What --torn asks for: the modes, each with its number of variants; the seed; and at most
    how many writes of a kind are torn (--torn-points; None: every one chosen)."""
    modes: List[Tuple[torn.Mode, int]]
    seed: int
    points: Optional[int] = None


@dataclass
class Bench:
    firmware: firmwares.Firmware
    firmware_options: List[str]  # scripts/uefi-vm's options that give the firmware
    tool: Path
    name: str
    work: Path
    keep: Optional[Path]  # every rebuilt store goes there
    kept: Path  # where a store that broke the promise goes without --keep
    jobs: int
    guid: str = str(text.GLOBAL)  # V's, as efivarfs names it
    runs: int = 0  # boots and other runs so far
    lock: threading.Lock = field(default_factory=threading.Lock)
    torn: Optional[TornPlan] = None  # --torn: cut inside the points' writes too

    @property
    def key(self) -> str:
        """V's file name in efivarfs (the loop works under the global variable GUID)."""
        return f"{self.name}-{self.guid}"

    @property
    def read_words(self) -> List[str]:
        """The tool's arguments that read V."""
        if self.guid == str(text.GLOBAL):
            return ["/g", self.name]
        return ["/g", self.name, "{" + self.guid.upper() + "}"]

    @property
    def read_line(self) -> str:
        return "kestomandrel " + shlex.join(self.read_words)

    def scratch(self, what: str) -> Path:
        with self.lock:
            self.runs += 1
            number = self.runs
        directory = self.work / f"{number:05d}-{what}"
        directory.mkdir()
        return directory

    def vm(self, *arguments: str) -> List[str]:
        return [*VM, *self.firmware_options, "--tool", str(self.tool), *arguments]


def factory(bench: Bench) -> bytes:
    """The factory store's bytes as the flash holds them."""
    chosen = bench.firmware
    if chosen.factory_format == "raw":
        return Path(chosen.factory).read_bytes()
    from ... import qemuimg
    raw = bench.work / "factory.fd"
    qemuimg.raw_copy(chosen, raw)
    return raw.read_bytes()


def kept_log(bench: Bench, log: Path) -> Optional[str]:
    if bench.keep is None:
        return None
    bench.keep.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(log, bench.keep / log.name)
    return str(bench.keep / log.name)
