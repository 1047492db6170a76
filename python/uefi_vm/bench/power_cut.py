#!/usr/bin/python3
"""Power cuts at every write of the variable store's flash, in the VM: does the firmware keep UEFI's
promise that a variable holds its old value or its new one after a power failure during
SetVariable(), and that no other variable suffers?

    bench/power-cut [--firmware F [--code FILE] [--factory FILE]] [--name V]
                    [--sweep [every|fields]] [--update N] [--boot N] [--reclaim N] [--cuts N]
                    [--seed S] [--keep DIR] [--jobs N] [--plot FILE] [--tool PATH]

--firmware, --code and --factory are scripts/uefi-vm's: any edk2 firmware on flash, Debian's or
your own build.

scripts/uefi-vm --flash-log records every write and erase of the store's flash while the firmware
runs. Replaying the first k of them onto the store the run began with rebuilds the store exactly as
a power cut after write k leaves it; the bench boots each rebuilt store cold, reads V (default
SysPrepOrder) with the tool and lists every variable, and compares them with a control: the same
start store booted without a cut. Four kinds of cut (without any, --sweep):

  --sweep           every write of one update of V by the loop (/t V) on a fresh store: the
                    update with the most writes among those in the middle third of the run, or
                    the one that wrote counter N (--update N); "fields" boots a sample instead:
                    the first and the last point, and the middle write of each run of writes
                    to adjacent bytes of the same field
  --boot N          N points spread over the firmware's first boot on its factory store
  --reclaim N       N points over the reclaim that a boot on a nearly full store runs (the store
                    filled as bench/store-fill --prefill does, then the loop run to the refusal),
                    among them the points just before, inside and just after each run of erases
  --cuts N          N runs of the loop on a booted store, each cut (scripts/uefi-vm --cut-after)
                    at a random moment, then a boot: V must hold the last counter printed, or the
                    next one

Each point's outcome: old or new (V holds its value before or after the update, and every other
variable is as in the control), corrupt (V holds something else), lost (V is gone), brick (the
guest never became ready within 4 times the control's boot time plus 60 s; the console says
whether the firmware took a CPU exception, and in which image), or collateral (V is right, but
another variable was gained, lost or changed). A variable that the firmware changes at every boot
is found by booting the control twice; it is named ("varies") and left out of the comparison. Each
point that breaks the promise is booted a second time from the same store, to check.

Every rebuilt store is kept with --keep DIR as DIR/<kind>-<k>.fd (.fd.xz for the 64 MiB AArch64
stores); a point that breaks the promise is kept anyway, in build/power-cut/ when --keep is not
given, and the output names the scripts/uefi-vm command that boots it (the run writes into the
file, as the firmware does: copy it first to keep it).

Progress goes to standard error. The last line of standard output is one JSON object: firmware,
variable, seed, and for each kind run ("sweep", "boot", "reclaim") its writes, the control's boot
seconds, varies, points [{k, offset, field, outcome, read, collateral}] (k: the writes applied;
offset and field: what write k touched) and counts by outcome; "cuts" [{after, after_count, read,
outcome, collateral}]; "failed", the points that broke the promise twice in a row; "unconfirmed",
those that broke it once only; "reproducers".

Exit status: 0 when every point kept the promise, 1 when a point broke it (a finding about the
firmware), 125 when the bench itself failed (a usage error included)."""

import argparse
import json
import lzma
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from .. import paths
from . import store_fill
from .. import firmware as firmwares
from .. import flashlog, store
from .. import main as uefi_vm
from .. import session
from ..errors import CUT, Failure

ROOT = paths.checkout()
VM = paths.harness()


FAILED = 125
OUTCOMES = ("new", "old", "collateral", "corrupt", "lost", "brick")
KEPT = ("old", "new")
LOOP_SECONDS = 8  # the logged loop of the sweep: about 100 updates
CUT_WINDOW = (0.5, 4.0)  # seconds after the tool started, for --cuts
LISTING = ("cd /sys/firmware/efi/efivars && for f in *; do "
           "echo \"$f $(od -An -v -tx1 \"$f\" | tr -d ' \\n')\"; done")


class BenchError(Exception):
    """The bench itself failed: status 125."""


STARTED = time.monotonic()


def progress(text: str) -> None:
    print(f"power-cut: [{time.monotonic() - STARTED:6.1f} s] {text}", file=sys.stderr, flush=True)


# --- What a boot shows ----------------------------------------------------------------------------

def hex_text(data: Optional[bytes]) -> Optional[str]:
    return None if data is None else " ".join(f"{byte:02X}" for byte in data)


def parse_read(output: str) -> Optional[str]:
    """V as the tool's /g printed it: its bytes ("2A 00 00 00"), None when there is no such
    variable, or "error 0x.." for another failure."""
    view = re.search(r"In Hex Bytes:\n((?: [0-9A-F]{2} )*)", output)
    if view:
        return " ".join(view.group(1).split())
    code = re.search(r"Error Code : (0x[0-9a-f]+)", output)
    if code and code.group(1) == "0xcb":
        return None
    return f"error {code.group(1)}" if code else "error: no output"


def parse_listing(text: str) -> Dict[str, str]:
    """efivarfs as listed in the VM: file name -> attributes and data, in hex."""
    listing = {}
    for line in text.splitlines():
        name, _, content = line.partition(" ")
        if name and name != "*":
            listing[name] = content.strip()
    return listing


def last_counter(output: bytes) -> Optional[int]:
    """The counter of the last whole iteration the loop printed."""
    views = re.findall(rb"Length : 4\(0x4\) bytes\n In Hex Bytes:\n((?: [0-9A-F]{2} ){4})\n",
                       output)
    return int.from_bytes(bytes.fromhex(views[-1].decode()), "little") if views else None


IMAGE = re.compile(r"Find image based on IP\(0x[0-9A-Fa-f]+\) (.*?) *!!!!|"
                   r"(Can't find image information)|"
                   r"\[\s*\d+\]\s+(\S+\.(?:dll|efi))|(\S+\.(?:dll|efi))")


def diagnose(console: str) -> Dict[str, Optional[str]]:
    """What the console of a guest that never became ready shows: a CPU exception, with the image
    the firmware names for it, or nothing at all."""
    text = re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", "", console.replace("\r", ""))
    lines = [line.strip() for line in text.splitlines() if line.strip()]
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


def classify(read: Optional[str], old: Optional[str], new: Optional[str],
             listing: Dict[str, str], reference: Dict[str, str], varies: Sequence[str],
             key: str) -> Tuple[str, List[str]]:
    """A point's outcome from V as read (READ) and every variable as listed, against V's OLD and
    NEW values and the control's listing (REFERENCE); and the other variables that differ from the
    control's, but for those that VARY at every boot."""
    collateral = [name for name in sorted(set(listing) | set(reference))
                  if name != key and name not in varies
                  and listing.get(name) != reference.get(name)]
    if read == old:
        outcome = "old"
    elif read == new:
        outcome = "new"
    else:
        outcome = "lost" if read is None else "corrupt"
    if outcome in KEPT and collateral:
        outcome = "collateral"
    return outcome, collateral


# --- Boots in the VM -----------------------------------------------------------------------------

GLOBAL = "8be4df61-93ca-11d2-aa0d-00e098032b8c"


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
    runs: int = 0
    lock: threading.Lock = field(default_factory=threading.Lock)

    @property
    def key(self) -> str:
        """V's file name in efivarfs: the loop works under the global variable GUID."""
        return f"{self.name}-{GLOBAL}"

    def scratch(self, what: str) -> Path:
        with self.lock:
            self.runs += 1
            number = self.runs
        directory = self.work / f"{number:05d}-{what}"
        directory.mkdir()
        return directory

    def vm(self, *arguments: str) -> List[str]:
        return [*VM, *self.firmware_options, "--tool", str(self.tool), *arguments]


@dataclass
class Boot:
    seconds: float
    read: Optional[str] = None
    listing: Dict[str, str] = field(default_factory=dict)
    brick: Optional[Dict] = None


def boot(bench: Bench, image: Path, timeout: float, flash_log: Optional[Path] = None) -> Boot:
    """Boots IMAGE cold, reads V and lists every variable. The store changes in place, as on a
    machine."""
    run = bench.scratch("boot")
    (run / "batch").write_text(f"kestomandrel /g {bench.name}\n{LISTING}\n")
    # The brick time-out is the bench's, from the control: a firmware may go quiet for a minute
    # and then report an exception, which says more than the silence.
    command = bench.vm("--vars", str(image), "--timeout", str(int(timeout)), "--silence", "0",
                       "--console", str(run / "console"), "--batch", str(run / "batch"),
                       "--out", str(run / "out"))
    if flash_log is not None:
        command += ["--flash-log", str(flash_log)]
    start = time.monotonic()
    with open(run / "stderr", "wb") as errors:
        status = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=errors).returncode
    seconds = time.monotonic() - start
    said = (run / "stderr").read_text(errors="replace")
    if status != 0:
        if any(sign in said for sign in ("was not ready", "QEMU stopped unexpectedly",
                                         "took a CPU exception", "before the guest was ready")):
            console = run / "console"
            brick = diagnose(console.read_text(errors="replace") if console.exists() else "")
            if "took a CPU exception" in said:
                brick["why"] = "the firmware took a CPU exception (the VM was stopped then)"
            elif "was not ready" in said:
                brick["why"] = f"not ready within {int(timeout)} s"
            else:
                brick["why"] = "the VM stopped (a reset or a crash) before it was ready"
            return Boot(seconds, brick=brick)
        last = said.strip().splitlines()[-1] if said.strip() else ""
        raise BenchError(f"scripts/uefi-vm failed ({status}) booting {image.name}: {last}")
    out = run / "out"
    result = Boot(seconds, parse_read((out / "1.out").read_text(errors="replace")),
                  parse_listing((out / "2.out").read_text(errors="replace")))
    shutil.rmtree(run)
    return result


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


# --- Where the cuts fall --------------------------------------------------------------------------

def label(op: flashlog.Op, before: List[bytes], final: Optional[store.Layout]) -> str:
    """What OP touched, by the layout of the store at the end of the writes: the fields of the
    bytes it changed, or of all its bytes when it changed none."""
    if final is None:
        return "erase" if op.erase else "unformatted store"
    if op.erase:
        return f"erase {final.area(op.erase[0])}"
    changed = [offset + i for (offset, data), old in zip(op.runs, before)
               for i in range(len(data)) if data[i] != old[i]]
    spots = changed or [offset + i for offset, data in op.runs for i in range(len(data))]
    names: List[str] = []
    for spot in spots:
        name = final.field(spot)
        if name not in names:
            names.append(name)
    return "+".join(names) + ("" if changed else " (same bytes)")


def walk(start: bytes, ops: Sequence[flashlog.Op], counts: Sequence[int],
         final: Optional[store.Layout], base: int = 0):
    """The store after each of COUNTS (ascending) writes: (count, the store, the last write and
    its label; none at BASE, where the cuts begin). The store is one buffer, changed as the walk
    goes on."""
    image = bytearray(start)
    done = 0
    for count in counts:
        if count == base:
            flashlog.apply(image, ops[done:count])
            done = count
            yield count, image, None, "none"
        elif count > done:
            flashlog.apply(image, ops[done:count - 1])
            op = ops[count - 1]
            before = [] if op.erase else [bytes(image[o:o + len(d)]) for o, d in op.runs]
            flashlog.apply(image, [op])
            done = count
            yield count, image, op, label(op, before, final)
        else:
            yield count, image, None, "none"


def layout_of(image) -> Optional[store.Layout]:
    try:
        return store.layout(image)
    except store.NotAStore:
        return None


@dataclass
class Update:
    first: int  # writes before it: the store then holds the old value, settled
    last: int  # writes after it: the new value is settled
    old: bytes
    new: bytes


def updates(start: bytes, log: flashlog.Log, name: str) -> List[Update]:
    """Every update of NAME in the logged command: the writes between the last moment its old
    value stood settled and the first moment its new value did."""
    begin = log.marker("run 1") or 0
    image = flashlog.apply(bytearray(start), log.ops[:begin])
    settled: List[Tuple[int, bytes]] = []
    for count in range(begin, len(log.ops) + 1):
        if count > begin:
            flashlog.apply(image, log.ops[count - 1:count])
        found = layout_of(image)
        value = store.settled_value(found, name) if found else None
        if value is not None:
            settled.append((count, value))
    return [Update(a, b, old, new) for (a, old), (b, new) in zip(settled, settled[1:])
            if old != new]


def choose(found: List[Update], counter: Optional[int]) -> Update:
    if counter is not None:
        for update in found:
            if update.new == counter.to_bytes(4, "little"):
                return update
        raise BenchError(f"the logged loop has no update to counter {counter}")
    if not found:
        raise BenchError("the logged loop shows no whole update of the variable")
    middle = found[len(found) // 3:max(len(found) // 3 + 1, 2 * len(found) // 3)]
    centre = len(found) // 2
    return max(middle, key=lambda u: (u.last - u.first, -abs(found.index(u) - centre)))


def by_fields(points: List[Tuple[int, str, Optional[flashlog.Op]]]) -> List[int]:
    """A sample that covers every field: the first and last points, and the middle write of each
    run of writes to adjacent bytes of the same field."""
    chosen = {points[0][0], points[-1][0]}
    run: List[int] = []
    for at, (count, name, op) in enumerate(points[1:], start=1):
        run.append(count)
        following = points[at + 1] if at + 1 < len(points) else None
        if (following is None or following[1] != name or op is None or op.erase
                or following[2].erase
                or following[2].offset not in (op.offset, op.offset + op.size)):
            chosen.add(run[len(run) // 2])
            run = []
    return sorted(chosen)


def spread(low: int, high: int, count: int) -> List[int]:
    """COUNT points evenly inside (LOW, HIGH)."""
    return sorted({low + round((i + 1) * (high - low) / (count + 1)) for i in range(count)})


def around_erases(ops: Sequence[flashlog.Op], low: int, high: int, count: int) -> List[int]:
    """COUNT points over the writes LOW..HIGH: just before, inside and just after each run of
    erases first, the rest spread evenly."""
    special: List[int] = []
    index = low
    while index < high:
        if ops[index].erase:
            end = index
            while end < high and ops[end].erase:
                end += 1
            special += [index, index + max(1, (end - index) // 2), end]
            index = end
        else:
            index += 1
    special = sorted(set(special))
    if len(special) > count:
        special = [special[round(i * (len(special) - 1) / max(1, count - 1))]
                   for i in range(count)]
    rest = count - len(special)
    return sorted(set(special) | set(spread(low, high, rest) if rest > 0 else []))


# --- Points ---------------------------------------------------------------------------------------

def keep_store(bench: Bench, image: Path, kind: str, k: int, directory: Path) -> Path:
    """Keeps a rebuilt store as DIRECTORY/<kind>-<k>.fd, xz-compressed when it is large."""
    directory.mkdir(parents=True, exist_ok=True)
    target = directory / f"{kind}-{k:04d}.fd"
    if image.stat().st_size > 8 << 20:
        target = target.with_suffix(".fd.xz")
        with open(image, "rb") as source, lzma.open(target, "wb", preset=1) as sink:
            shutil.copyfileobj(source, sink)
    else:
        shutil.copyfile(image, target)
    return target


def reproducer(bench: Bench, kept: Path, write: str, kind: str, k: int) -> Dict[str, str]:
    options = " ".join(bench.firmware_options)
    store_file = kept.with_suffix("") if kept.suffix == ".xz" else kept
    command = f"scripts/uefi-vm {options} --vars {store_file} -- /g {bench.name}"
    if kept.suffix == ".xz":
        command = f"xz -dk {kept} && {command}"
    return {"kind": kind, "k": k, "store": str(kept), "write": write, "command": command}


def settle(bench: Bench, entry: Dict, pristine: Path, kind: str, k: int, write: str, judge,
           timeout: float, reproducers: List[Dict]) -> None:
    """A point that broke the promise is booted again from its store, which is kept with its
    reproducer; a point that kept it is kept only with --keep."""
    if entry["outcome"] not in KEPT:
        image = pristine.with_suffix(".again")
        shutil.copyfile(pristine, image)
        entry["again"] = judge(boot(bench, image, timeout))[0]
        image.unlink()
        kept = keep_store(bench, pristine, kind, k, bench.keep or bench.kept)
        with bench.lock:
            reproducers.append(reproducer(bench, kept, write, kind, k))
    elif bench.keep:
        keep_store(bench, pristine, kind, k, bench.keep)


def run_points(bench: Bench, kind: str, start: bytes, ops: Sequence[flashlog.Op],
               counts: Sequence[int], base: int, final: Optional[store.Layout], timeout: float,
               judge, known: Optional[Dict[int, Boot]] = None) -> Tuple[List[Dict], List[Dict]]:
    """Boots the store after each of COUNTS writes and judges it. K, as reported, counts from
    BASE. Returns the points and the reproducers of those that broke the promise."""
    known = known or {}
    slots = threading.Semaphore(bench.jobs + 1)
    reproducers: List[Dict] = []
    total = len(counts)

    def evaluate(number: int, count: int, offset: Optional[int], field_name: str,
                 pristine: Path) -> Dict:
        try:
            k = count - base
            first = known.get(count)
            if first is None:
                image = pristine.with_suffix(".boot")
                shutil.copyfile(pristine, image)
                first = boot(bench, image, timeout)
                image.unlink()
            outcome, collateral = judge(first)
            point = {"k": k, "offset": None if offset is None else f"{offset:#x}",
                     "field": field_name, "outcome": outcome, "read": first.read,
                     "collateral": collateral, "seconds": round(first.seconds, 1)}
            if first.brick:
                point["brick"] = first.brick
            write = ops[count - 1].line() if count > 0 else "none"
            settle(bench, point, pristine, kind, k, write, judge, timeout, reproducers)
            progress(f"{kind}: point {number}/{total}, k={k} ({field_name}): {outcome}"
                     + (f", then {point['again']}" if "again" in point else "")
                     + (f"; changed: {', '.join(collateral)}" if collateral else ""))
            return point
        finally:
            pristine.unlink(missing_ok=True)
            slots.release()

    futures = []
    with ThreadPoolExecutor(bench.jobs) as pool:
        for number, (count, image, op, field_name) in enumerate(
                walk(start, ops, counts, final, base), start=1):
            slots.acquire()
            pristine = bench.work / f"{kind}-{count:07d}.fd"
            pristine.write_bytes(image)
            futures.append(pool.submit(evaluate, number, count, op and op.offset, field_name,
                                       pristine))
        points = [future.result() for future in futures]
    return points, reproducers


def summary(points: List[Dict]) -> Dict[str, int]:
    return {outcome: sum(1 for point in points if point["outcome"] == outcome)
            for outcome in OUTCOMES}


def judged(reference: Boot, varies: List[str], key: str, old: Optional[str], new: Optional[str]):
    def judge(result: Boot) -> Tuple[str, List[str]]:
        if result.brick:
            return "brick", []
        return classify(result.read, old, new, result.listing, reference.listing, varies, key)
    return judge


# --- The four kinds -----------------------------------------------------------------------------

def factory(bench: Bench) -> bytes:
    """The factory store's bytes as the flash holds them."""
    if bench.firmware.vars_format == "raw":
        return Path(bench.firmware.vars).read_bytes()
    raw = bench.work / "factory.fd"
    uefi_vm.qemu_img("convert", "-f", bench.firmware.vars_format, "-O", "raw",
                     bench.firmware.vars, str(raw))
    return raw.read_bytes()


def kept_log(bench: Bench, log: Path) -> Optional[str]:
    if bench.keep is None:
        return None
    bench.keep.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(log, bench.keep / log.name)
    return str(bench.keep / log.name)


def sweep(bench: Bench, every: bool, counter: Optional[int]) -> Tuple[Dict, List[Dict]]:
    start = factory(bench)
    loop_store, log_path = bench.work / "sweep-loop.fd", bench.work / "sweep.log"
    loop_store.write_bytes(start)
    progress(f"sweep: the loop on {bench.name} for {LOOP_SECONDS} s on a fresh store, its flash "
             "logged")
    status = subprocess.run(bench.vm("--vars", str(loop_store), "--flash-log", str(log_path),
                                     "--stop-after", str(LOOP_SECONDS), "--", "/t", bench.name),
                            stdout=subprocess.DEVNULL).returncode
    if status != 130:
        raise BenchError(f"the logged loop ended with {status}, not 130 (interrupted)")
    log = flashlog.read(log_path)
    if flashlog.rebuild(start, log.ops, len(log.ops)) != loop_store.read_bytes():
        raise BenchError("the flash log, replayed, does not give the store the loop left")
    found = updates(start, log, bench.name)
    update = choose(found, counter)
    writes = update.last - update.first
    old, new = hex_text(update.old), hex_text(update.new)
    progress(f"sweep: {len(found)} updates logged; the update from {old} to {new} is "
             f"{writes} writes (log operations {update.first + 1} to {update.last})")
    before = flashlog.rebuild(start, log.ops, update.first)
    final = layout_of(flashlog.rebuild(start, log.ops, update.last))
    ctrl = control(bench, before, "sweep")
    counts = list(range(update.first, update.last + 1))
    if not every:
        labels = [(count, name, op) for count, _, op, name in walk(start, log.ops, counts, final,
                                                                   update.first)]
        counts = by_fields(labels)
    judge = judged(ctrl.first, ctrl.varies, bench.key, old, new)
    points, reproducers = run_points(bench, "sweep", start, log.ops, counts, update.first, final,
                                     ctrl.timeout, judge, {update.first: ctrl.first})
    return {"writes": writes, "old": old, "new": new, "log": kept_log(bench, log_path),
            "log_writes": [update.first + 1, update.last], "control_seconds":
            round(ctrl.first.seconds, 1), "timeout": round(ctrl.timeout), "varies": ctrl.varies,
            "points": points, "counts": summary(points)}, reproducers


def first_boot(bench: Bench, count: int) -> Tuple[Dict, List[Dict]]:
    start = factory(bench)
    log_path = bench.work / "boot.log"
    ctrl = control(bench, start, "boot", log_path)
    log = flashlog.read(log_path)
    ready = log.marker("ready") or len(log.ops)
    progress(f"boot: the first boot wrote {ready} times; {count} points over it")
    final = layout_of(flashlog.rebuild(start, log.ops, ready))
    judge = judged(ctrl.first, ctrl.varies, bench.key, ctrl.first.read, ctrl.first.read)
    points, reproducers = run_points(bench, "boot", start, log.ops, spread(0, ready, count), 0,
                                     final, ctrl.timeout, judge)
    return {"writes": ready, "erases": sum(1 for op in log.ops[:ready] if op.erase),
            "log": kept_log(bench, log_path), "control_seconds": round(ctrl.first.seconds, 1),
            "timeout": round(ctrl.timeout), "varies": ctrl.varies, "points": points,
            "counts": summary(points)}, reproducers


RECLAIM_PREFILL = {"x86_64": 8, "aarch64": 2}  # KiB left by the prefill (x86 kernels keep 5 KiB)


def reclaim(bench: Bench, count: int) -> Tuple[Dict, List[Dict]]:
    full = bench.work / "reclaim-fill.fd"
    full.write_bytes(factory(bench))
    store_fill.TOOL[:] = ["--tool", str(bench.tool)]
    progress("reclaim: filling the store (as bench/store-fill --prefill does)")
    try:
        before = store_fill.prefill(bench.firmware_options, full, bench.work,
                                    RECLAIM_PREFILL[bench.firmware.arch])
    except store_fill.Failed as failure:
        raise BenchError(f"reclaim: {failure}") from None
    progress(f"reclaim: the loop on {bench.name} until the store refuses a write")
    loop = subprocess.run(bench.vm("--vars", str(full), *before, "--", "/t", bench.name),
                          stdout=subprocess.PIPE)
    if loop.returncode != 0 or b"set failed at count" not in loop.stdout:
        raise BenchError(f"reclaim: the loop did not end with a refused write ({loop.returncode})")
    start = full.read_bytes()
    # Every variable the OS can see must come through the reclaim with its value.
    expected = {key: (attributes.to_bytes(4, "little") + data).hex()
                for key, (attributes, data) in store.variables(start).items()}
    progress(f"reclaim: {store.free_bytes(start)} bytes left; {len(expected)} variables the OS "
             "can see")
    log_path = bench.work / "reclaim.log"
    ctrl = control(bench, start, "reclaim", log_path)
    log = flashlog.read(log_path)
    ready = log.marker("ready") or len(log.ops)
    final = layout_of(flashlog.rebuild(start, log.ops, ready))
    layout = layout_of(start)
    ftw = [area for area in (layout.work_space, layout.spare) if area] if layout else []
    touching = [index for index, op in enumerate(log.ops[:ready])
                if op.erase or any(a <= op.offset < b for a, b in ftw)]
    if not touching:
        raise BenchError("reclaim: the boot on the full store did not reclaim it")
    low, high = touching[0], touching[-1] + 1
    counts = around_erases(log.ops, low, high, count)
    erases = sum(1 for op in log.ops[low:high] if op.erase)
    progress(f"reclaim: the reclaim is writes {low + 1} to {high} of the boot ({erases} erases); "
             f"{len(counts)} points")
    # What the reclaim changes by itself, with no cut, is the firmware's own doing (edk2 clears
    # VarErrorFlag, its note of a full store, once it has room again): named, not judged.
    changed = [key for key, value in expected.items()
               if key != bench.key and key not in ctrl.varies
               and ctrl.first.listing.get(key) != value]
    if changed:
        progress(f"reclaim: the reclaim without a cut changed {', '.join(changed)}")
    judge = judged(ctrl.first, ctrl.varies, bench.key, ctrl.first.read, ctrl.first.read)
    points, reproducers = run_points(bench, "reclaim", start, log.ops, counts, 0, final,
                                     ctrl.timeout, judge)
    return {"writes": high - low, "erases": erases, "log_writes": [low + 1, high],
            "log": kept_log(bench, log_path), "control_seconds": round(ctrl.first.seconds, 1),
            "control_changed": changed, "timeout": round(ctrl.timeout), "varies": ctrl.varies,
            "points": points, "counts": summary(points)}, reproducers


def cut_runs(bench: Bench, count: int, rng: random.Random) -> Tuple[List[Dict], List[Dict]]:
    ctrl = control(bench, factory(bench), "cuts")
    reproducers: List[Dict] = []
    moments = [round(rng.uniform(*CUT_WINDOW), 2) for _ in range(count)]

    def one(number: int, after: float) -> Dict:
        image = bench.work / f"cut-{number:03d}.fd"
        shutil.copyfile(ctrl.after, image)
        loop = subprocess.run(bench.vm("--vars", str(image), "--cut-after", str(after), "--",
                                       "/t", bench.name), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
        if loop.returncode != CUT:
            raise BenchError(f"cuts: the loop cut after {after} s ended with {loop.returncode}, "
                             f"not {CUT}")
        last = last_counter(loop.stdout)
        old = hex_text(last.to_bytes(4, "little")) if last is not None else None
        new = hex_text(((last + 1 if last is not None else 0) & 0xFFFFFFFF).to_bytes(4, "little"))
        pristine = image.with_suffix(".cut")
        shutil.copyfile(image, pristine)
        judge = judged(ctrl.second, ctrl.varies, bench.key, old, new)
        result = boot(bench, image, ctrl.timeout)
        outcome, collateral = judge(result)
        entry = {"after": after, "after_count": last, "read": result.read, "outcome": outcome,
                 "collateral": collateral}
        if result.brick:
            entry["brick"] = result.brick
        settle(bench, entry, pristine, "cuts", number, f"cut after {after} s", judge,
               ctrl.timeout, reproducers)
        pristine.unlink()
        image.unlink()
        progress(f"cuts: {number}/{count}, cut {after} s after the loop started, its last "
                 f"counter printed {last}: {outcome}")
        return entry

    with ThreadPoolExecutor(bench.jobs) as pool:
        runs = list(pool.map(one, range(1, count + 1), moments))
    return runs, reproducers


# --- The plot -------------------------------------------------------------------------------------

def plot(result: Dict, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError:
        progress("no plot: matplotlib is missing (Debian's python3-matplotlib)")
        return
    kinds = [kind for kind in ("sweep", "boot", "reclaim") if kind in result]
    if not kinds:
        progress("no plot: --cuts alone has no writes to plot")
        return
    figure, axes = pyplot.subplots(len(kinds), 1, figsize=(11, 3.2 * len(kinds)), squeeze=False)
    colours = {}
    palette = pyplot.get_cmap("tab20").colors
    for axis, kind in zip(axes[:, 0], kinds):
        points = result[kind]["points"]
        ks = [point["k"] for point in points]
        # Every write has a point: bands meet. Points spread over many writes: a narrow band each.
        every = all(b - a == 1 for a, b in zip(ks, ks[1:]))
        half = 0.5 if every else max(0.5, (ks[-1] - ks[0]) / 300)
        for at, point in enumerate(points):
            name = point["field"].split("+")[0].replace(" (same bytes)", "")
            colour = colours.setdefault(name, palette[len(colours) % len(palette)])
            left, right = point["k"] - half, point["k"] + half
            axis.axvspan(left, right, color=colour, alpha=0.35, linewidth=0,
                         label=name if name not in axis.get_legend_handles_labels()[1] else None)
        rows = [OUTCOMES.index(point["outcome"]) for point in points]
        marks = ["green" if point["outcome"] in KEPT else "red" for point in points]
        axis.scatter(ks, rows, c=marks, s=18, zorder=3)
        axis.set_yticks(range(len(OUTCOMES)), OUTCOMES)
        axis.set_ylim(-0.6, len(OUTCOMES) - 0.4)
        axis.set_xlabel("writes applied before the cut (k)")
        axis.set_title(f"{result['firmware']}, {kind}: {result[kind]['writes']} writes, "
                       f"{len(points)} points, "
                       + ", ".join(f"{n} {o}" for o, n in result[kind]["counts"].items() if n))
        axis.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.0, 1.0), title="field")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    progress(f"plot: {path}")


# --- The command line -----------------------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:
        self.print_usage(sys.stderr)
        print(f"power-cut: {message}", file=sys.stderr)
        sys.exit(FAILED)


def arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = Parser(prog="bench/power-cut",
                    description="Power cuts at every write of the variable store's flash, in the "
                                "VM (see the script's head for the outcomes and the JSON).")
    firmwares.add_arguments(parser)
    parser.add_argument("--name", default="SysPrepOrder", help="the loop's variable V")
    parser.add_argument("--sweep", nargs="?", const="every", choices=("every", "fields"),
                        help="every write of one update of V (the default kind), or a sample "
                             "that covers every field")
    parser.add_argument("--update", type=int, metavar="N",
                        help="sweep the update that wrote counter N")
    parser.add_argument("--boot", type=int, metavar="N", help="N points over the first boot")
    parser.add_argument("--reclaim", type=int, metavar="N", help="N points over a reclaim")
    parser.add_argument("--cuts", type=int, metavar="N", help="N loops cut at random moments")
    parser.add_argument("--seed", type=int, help="the random moments' seed (default: the time)")
    parser.add_argument("--keep", type=Path, metavar="DIR", help="keep every rebuilt store here")
    parser.add_argument("--jobs", type=int, default=1, metavar="N", help="VMs at a time (1)")
    parser.add_argument("--plot", type=Path, metavar="FILE", help="plot the points (PNG)")
    parser.add_argument("--tool", type=Path, help="the statically linked tool to run")
    found = parser.parse_args(argv)
    for option in ("boot", "reclaim", "cuts", "jobs"):
        value = getattr(found, option)
        if value is not None and value < 1:
            parser.error(f"--{option} needs a number of at least 1")
    if not any((found.sweep, found.boot, found.reclaim, found.cuts)):
        found.sweep = "every"
    return found


def main(argv: Optional[List[str]] = None) -> int:
    options = arguments(argv)
    seed = options.seed if options.seed is not None else int(time.time())
    reproducers: List[Dict] = []
    result: Dict = {}
    try:
        chosen = firmwares.resolve(options.firmware, options.code, options.factory)
        if chosen.vars is None:
            raise BenchError(f"{chosen.label} has no variable store on flash")
        result.update(firmware=chosen.name, code=chosen.given_code, factory=chosen.given_factory,
                      variable=options.name, seed=seed)
        tool = options.tool or uefi_vm.build_tool(chosen, uefi_vm.Options())
        with tempfile.TemporaryDirectory(prefix="power-cut.") as work:
            stamp = time.strftime("%Y%m%d-%H%M%S")
            bench = Bench(chosen, chosen.options(), Path(tool).resolve(),
                          options.name, Path(work), options.keep,
                          ROOT / "build/power-cut" / f"{chosen.name}-{stamp}", options.jobs)
            if options.sweep:
                result["sweep"], found = sweep(bench, options.sweep == "every", options.update)
                reproducers += found
            if options.boot:
                result["boot"], found = first_boot(bench, options.boot)
                reproducers += found
            if options.reclaim:
                result["reclaim"], found = reclaim(bench, options.reclaim)
                reproducers += found
            if options.cuts:
                result["cuts"], found = cut_runs(bench, options.cuts, random.Random(seed))
                reproducers += found
    except (BenchError, Failure, flashlog.BadLog) as failure:
        print(f"power-cut: {failure}", file=sys.stderr)
        if result:
            # What the kinds before the failure found is worth keeping.
            result.update(error=str(failure), reproducers=reproducers)
            print(json.dumps(result))
        return FAILED
    except KeyboardInterrupt:
        print("power-cut: interrupted", file=sys.stderr)
        return 130
    every = [point for kind in ("sweep", "boot", "reclaim") for point in
             result.get(kind, {}).get("points", [])] + result.get("cuts", [])
    broken = [point for point in every if point["outcome"] not in KEPT]
    result["failed"] = sum(1 for point in broken if point.get("again") not in KEPT)
    result["unconfirmed"] = len(broken) - result["failed"]
    result["reproducers"] = reproducers
    if options.plot:
        plot(result, options.plot)
    for found in reproducers:
        progress(f"broke the promise: {found['kind']} k={found['k']} ({found['write']}): "
                 f"{found['command']}")
    print(json.dumps(result))
    return 1 if result["failed"] else 0


def entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry()
