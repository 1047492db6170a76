"""A point booted and judged: its outcome against V's old and new values and the control's
listing, the second boot of a point that broke the promise, the stores kept and the command that
shows each broken point again, and the run of one kind's points, a few VMs at a time."""

import lzma
import shlex
import shutil
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, Hashable, List, Optional, Sequence, Tuple

from ... import flashlog, store
from .bench import Bench, progress
from .boots import Boot, boot
from .points import walk

OUTCOMES = ("new", "old", "collateral", "corrupt", "lost", "brick")
KEPT = ("old", "new")
Judge = Callable[[Boot], Tuple[str, List[str]]]
Describe = Callable[[Optional[flashlog.Op], str], str]  # a point's phase from its write, label


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


def judged(reference: Boot, varies: List[str], key: str, old: Optional[str],
           new: Optional[str]) -> Judge:
    def judge(result: Boot) -> Tuple[str, List[str]]:
        if result.brick:
            return "brick", []
        return classify(result.read, old, new, result.listing, reference.listing, varies, key)
    return judge


def outcome_key(point: Dict) -> Hashable:
    """A brick with another diagnosis (the exception, the image, a DEBUG build's ASSERT) is
    another outcome."""
    brick = point.get("brick")
    if brick:
        asserted = (brick["assert"],) if brick.get("assert") else ()
        return ("brick", brick.get("exception"), brick.get("image"), *asserted)
    return point["outcome"]


def summary(points: List[Dict]) -> Dict[str, int]:
    return {outcome: sum(1 for point in points if point["outcome"] == outcome)
            for outcome in OUTCOMES}


def keep_store(image: Path, kind: str, k: int, directory: Path, name: str = "") -> Path:
    """Keeps a rebuilt store as DIRECTORY/<kind>-<k>.fd (or NAME.fd), xz-compressed when it is
    large."""
    directory.mkdir(parents=True, exist_ok=True)
    target = directory / f"{name or f'{kind}-{k:04d}'}.fd"
    if image.stat().st_size > 8 << 20:
        target = target.with_suffix(".fd.xz")
        with open(image, "rb") as source, lzma.open(target, "wb", preset=1) as sink:
            shutil.copyfileobj(source, sink)
    else:
        shutil.copyfile(image, target)
    return target


def reproducer(bench: Bench, kept: Path, write: str, kind: str, k: int,
               torn: str = "") -> Dict[str, str]:
    options = " ".join(bench.firmware_options)
    store_file = kept.with_suffix("") if kept.suffix == ".xz" else kept
    read = shlex.join(bench.read_words)
    command = f"scripts/uefi-vm {options} --vars {store_file} -- {read}"
    if kept.suffix == ".xz":
        command = f"xz -dk {kept} && {command}"
    found = {"kind": kind, "k": k, "store": str(kept), "write": write, "command": command}
    if torn:
        found["torn"] = torn
    return found


def settle(bench: Bench, entry: Dict, pristine: Path, kind: str, k: int, write: str, judge: Judge,
           timeout: float, reproducers: List[Dict], name: str = "") -> None:
    """A point that broke the promise is booted again from its store, which is kept with its
    reproducer; a point that kept it is kept only with --keep. NAME: a torn store's name."""
    if entry["outcome"] not in KEPT:
        image = pristine.with_suffix(".again")
        shutil.copyfile(pristine, image)
        # On a cluster, the second boot goes to another worker when there is one.
        first_worker = (entry.get("where") or {}).get("worker")
        again = boot(bench, image, timeout, avoid=first_worker)
        entry["again"] = judge(again)[0]
        if again.where is not None:
            entry["again_where"] = again.where
        image.unlink()
        kept = keep_store(pristine, kind, k, bench.keep or bench.kept, name)
        torn = f"{entry['mode']}/{entry['variant']}" if name else ""
        with bench.lock:
            reproducers.append(reproducer(bench, kept, write, kind, k, torn))
    elif bench.keep:
        keep_store(pristine, kind, k, bench.keep, name)


@dataclass
class Run:
    """One kind's points as they are booted: K, as reported, counts from BASE; a count in KNOWN
    was booted already (the control)."""
    bench: Bench
    kind: str
    ops: Sequence[flashlog.Op]
    base: int
    timeout: float
    judge: Judge
    known: Dict[int, Boot]
    total: int
    slots: threading.Semaphore
    describe: Describe
    reproducers: List[Dict] = field(default_factory=list)


def evaluate(run: Run, number: int, count: int, op: Optional[flashlog.Op], field_name: str,
             pristine: Path) -> Dict:
    """Boots the store PRISTINE holds, the one after COUNT writes, and judges it."""
    try:
        k = count - run.base
        first = run.known.get(count)
        if first is None:
            image = pristine.with_suffix(".boot")
            shutil.copyfile(pristine, image)
            first = boot(run.bench, image, run.timeout)
            image.unlink()
        outcome, collateral = run.judge(first)
        point = {"k": k, "offset": None if op is None else f"{op.offset:#x}",
                 "field": field_name, "phase": run.describe(op, field_name), "outcome": outcome,
                 "read": first.read, "collateral": collateral, "seconds": round(first.seconds, 1)}
        if first.brick:
            point["brick"] = first.brick
        if first.where is not None:
            point["where"] = first.where
        write = run.ops[count - 1].line() if count > 0 else "none"
        settle(run.bench, point, pristine, run.kind, k, write, run.judge, run.timeout,
               run.reproducers)
        progress(f"{run.kind}: point {number}/{run.total}, k={k} ({field_name}): {outcome}"
                 + (f", then {point['again']}" if "again" in point else "")
                 + (f"; changed: {', '.join(collateral)}" if collateral else ""))
        return point
    finally:
        pristine.unlink(missing_ok=True)
        run.slots.release()


def run_points(bench: Bench, kind: str, start: bytes, ops: Sequence[flashlog.Op],
               counts: Sequence[int], base: int, final: Optional[store.Layout], timeout: float,
               judge: Judge, known: Optional[Dict[int, Boot]] = None,
               describe: Describe = lambda op, field_name: field_name
               ) -> Tuple[List[Dict], List[Dict]]:
    """Boots the store after each of COUNTS writes and judges it. K, as reported, counts from
    BASE. Returns the points and the reproducers of those that broke the promise."""
    # One rebuilt store waits beside each VM: the walk stays just ahead of the boots.
    run = Run(bench, kind, ops, base, timeout, judge, known or {}, len(counts),
              threading.Semaphore(bench.jobs + 1), describe)
    futures = []
    with ThreadPoolExecutor(bench.jobs) as pool:
        for number, (count, image, op, field_name) in enumerate(
                walk(start, ops, counts, final, base), start=1):
            run.slots.acquire()
            pristine = bench.work / f"{kind}-{count:07d}.fd"
            pristine.write_bytes(image)
            futures.append(pool.submit(evaluate, run, number, count, op, field_name,
                                       pristine))
        points = [future.result() for future in futures]
    return points, run.reproducers
