"""What every kind of cut shares: the run's settings (the firmware, the tool, the variable, where
stores go), its progress lines, the bench's own failure, and the factory store."""

import shlex
import shutil
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from ... import firmware as firmwares
from ... import paths, text
from . import torn
from .seam import Local

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
    executor: Local = field(default_factory=Local)  # where the boots run (seam.py)
    runs: int = 0  # boots and other runs so far
    lock: threading.Lock = field(default_factory=threading.Lock)
    torn: Optional[TornPlan] = None  # --torn: cut inside the points' writes too
    # --at-windows: more points to boot, by kind (sweep, boot, reclaim): k, and the write the
    # other run had there when it is a window's end
    at: Dict[str, Dict[int, Optional[str]]] = field(default_factory=dict)

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

    def seam_argv(self, *arguments: str) -> List[str]:
        """The harness's argv for the seam: here as `vm` gives it; on a cluster with the
        harness, the tool and the firmware's files named as each worker has them."""
        argv = self.vm(*arguments)
        if not self.executor.cluster:
            return argv
        if argv[:len(VM)] == VM:
            argv = ["@harness", *argv[len(VM):]]
        names = {str(self.tool): "@shared/kestomandrel"}
        chosen = self.firmware
        for kind, path in (("code", getattr(chosen, "code", None)),
                           ("factory", getattr(chosen, "factory", None))):
            if path:
                names[str(path)] = f"@shared/{kind}-{Path(path).name}"
                if f"--{kind}" not in argv and "@harness" in argv:
                    at = argv.index("@harness") + 1 + len(self.firmware_options)
                    argv[at:at] = [f"--{kind}", str(path)]
        return [names.get(word, word) for word in argv]


def said(ran: dict) -> str:
    """The harness's last line on standard error, for a message: ": LINE", or nothing."""
    lines = ran["stderr"].decode(errors="replace").strip().splitlines()
    return f": {lines[-1]}" if lines else ""


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
