"""A boot in the VM: a store booted cold, V read with the tool and every variable listed, or, when
the guest never became ready, what its console and the firmware's debug output show; and the
control, the start store booted without a cut."""

import re
import shutil
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional

from ... import session, text, toolout
from .bench import Bench, BenchError, progress

# Every variable's name, attributes and data, in hex: each file's size from wc, all their bytes
# from one od, cut apart by awk. Four processes in all, where a subshell, od and tr per variable
# took a second of the guest's time.
LISTING = ("cd /sys/firmware/efi/efivars && { wc -c *; od -An -v -tx1 * | tr -d ' \\n'; echo; } "
           "| awk 'NF == 2 && $2 != \"total\" { n++; name[n] = $2; size[n] = $1 } "
           "NF == 1 { at = 1; for (i = 1; i <= n; i++) { "
           "print name[i], substr($0, at, 2 * size[i]); at += 2 * size[i] } }'")
# What scripts/uefi-vm says of a guest that never became ready.
NOT_READY = ("was not ready", "QEMU stopped unexpectedly", "took a CPU exception",
             "stopped on a failed assertion", "before the guest was ready", "made no progress")
IMAGE = re.compile(r"Find image based on IP\(0x[0-9A-Fa-f]+\) (.*?) *!!!!|"
                   r"(Can't find image information)|"
                   r"\[\s*\d+\]\s+(\S+\.(?:dll|efi))|(\S+\.(?:dll|efi))")


def parse_listing(listed: str) -> Dict[str, str]:
    """efivarfs as listed in the VM: file name -> attributes and data, in hex."""
    listing = {}
    for line in listed.splitlines():
        name, _, content = line.partition(" ")
        if name and name != "*":
            listing[name] = content.strip()
    return listing


def diagnose(console: str) -> Dict[str, Optional[str]]:
    """What the console of a guest that never became ready shows: a CPU exception, with the image
    the firmware names for it, or nothing at all."""
    lines = [line.strip() for line in text.strip_ansi(console.replace("\r", "")).splitlines()
             if line.strip()]
    for at, line in enumerate(lines):
        exception = session.EXCEPTION.search(line)
        if exception:
            image = None
            for later in lines[at:at + 40]:
                found = IMAGE.search(later)
                if found:
                    image = next(group for group in found.groups() if group)
                    break
            return {"console": "cpu exception", "exception": exception.group(0).strip(),
                    "image": image}
    if not lines:
        return {"console": "nothing", "exception": None, "image": None}
    return {"console": "no exception", "exception": None, "image": None,
            "last": " | ".join(lines[-3:])}


@dataclass
class Boot:
    seconds: float
    read: Optional[str] = None
    listing: Dict[str, str] = field(default_factory=dict)
    brick: Optional[Dict] = None
    where: Optional[Dict] = None  # on a cluster: where it ran (seam.describe_machine)


def brick(said: str, console: str, debug: Optional[str], timeout: float) -> Dict:
    """Why a guest never became ready, from scripts/uefi-vm's words (SAID), its CONSOLE and the
    firmware's DEBUG output (None when there was none): its first ASSERT, or its last lines."""
    found = diagnose(console)
    found.update(session.debug_said(debug if debug is not None else console, console))
    if "took a CPU exception" in said:
        found["why"] = "the firmware took a CPU exception (the VM was stopped then)"
    elif "stopped on a failed assertion" in said:
        found["why"] = "the firmware stopped on a failed ASSERT (the VM was stopped then)"
    elif "made no progress" in said:
        # The verdict names the address, and the image when the console names one.
        stuck = re.search(r"made no progress [^:]*: (.*?), with nothing written", said)
        found["why"] = f"stuck: {stuck.group(1) if stuck else 'the CPU made no progress'}"
    elif "was not ready" in said:
        found["why"] = f"not ready within {int(timeout)} s"
    else:
        found["why"] = "the VM stopped (a reset or a crash) before it was ready"
    return found


def boot(bench: Bench, image: Path, timeout: float, flash_log: Optional[Path] = None,
         avoid: Optional[str] = None) -> Boot:
    """Boots IMAGE cold, reads V and lists every variable. The store changes in place, as on a
    machine. The boot runs where the bench's executor puts it (on a cluster, on another worker
    than AVOID when there is one)."""
    run = bench.scratch("boot")
    batch = f"{bench.read_line}\n{LISTING}\n".encode()
    # The brick time-out is the bench's, from the control: a firmware may go quiet for a minute
    # and then report an exception, which says more than the silence.
    command = bench.seam_argv("--vars", "@in/store.fd", "--timeout", str(int(timeout)),
                              "--silence", "0", "--console", "@out/console", "--debug-log",
                              "@out/debug", "--batch", "@in/batch", "--out", "@out/out")
    outputs = ["store.fd", "console", "debug", "out/1.out", "out/2.out"]
    if flash_log is not None:
        command += ["--flash-log", "@out/flash.log"]
        outputs.append("flash.log")
    start = time.monotonic()
    ran = bench.executor.run(command, {"store.fd": image.read_bytes(), "batch": batch}, outputs,
                             f"the boot of {image.name}", avoid)
    seconds = time.monotonic() - start
    found = ran["outputs"]
    image.write_bytes(found.get("store.fd", image.read_bytes()))
    if flash_log is not None and "flash.log" in found:
        flash_log.write_bytes(found["flash.log"])
    status, said = ran["status"], ran["stderr"].decode(errors="replace")
    where = ran["where"] if bench.executor.cluster else None
    shutil.rmtree(run)
    if status != 0:
        if any(sign in said for sign in NOT_READY):
            console = found.get("console", b"").decode(errors="replace")
            debug = found["debug"].decode(errors="replace") if "debug" in found else None
            return Boot(seconds, brick=brick(said, console, debug, timeout), where=where)
        last = said.strip().splitlines()[-1] if said.strip() else ""
        raise BenchError(f"scripts/uefi-vm failed ({status}) booting {image.name}: {last}")
    return Boot(seconds, toolout.read_value(found.get("out/1.out", b"").decode(errors="replace")),
                parse_listing(found.get("out/2.out", b"").decode(errors="replace")), where=where)


@dataclass
class Control:
    first: Boot
    second: Boot
    varies: List[str]
    after: Path  # the store after the first boot

    @property
    def timeout(self) -> float:
        """How long a point's guest may take to become ready before it counts as a brick: a boot
        that finds a torn record reclaims the store first, which takes OVMF five times as long as a
        plain boot (about 45 s)."""
        return 4 * self.first.seconds + 60


def control(bench: Bench, start: bytes, what: str, flash_log: Optional[Path] = None) -> Control:
    """START booted without a cut, then booted again: what the second boot changed is what the
    firmware changes at every boot."""
    first = bench.work / f"control-{what}.fd"
    first.write_bytes(start)
    progress(f"{what}: booting the control, twice")
    one = boot(bench, first, 600, flash_log)
    second = bench.work / f"control-{what}-2.fd"
    shutil.copyfile(first, second)
    two = boot(bench, second, 600) if not one.brick else one
    second.unlink()
    if one.brick or two.brick:
        raise BenchError(f"{what}: the control itself did not boot: {one.brick or two.brick}")
    varies = sorted(name for name in set(one.listing) | set(two.listing)
                    if one.listing.get(name) != two.listing.get(name) and name != bench.key)
    progress(f"{what}: the control booted in {one.seconds:.1f} s; changed at every boot: "
             f"{', '.join(varies) or 'nothing'}")
    return Control(one, two, varies, first)
