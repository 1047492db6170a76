"""--torn MODES: the cuts inside a write. For a cut inside write k, the store is the first k - 1
writes applied whole, then write k torn in each mode asked for (see torn, the modes). The writes
torn are a kind's points and, after --refine, each window's edges; --torn-points N keeps N of
them, the windows' edges first.

Nothing is booted twice: a torn store equal to the store at k - 1, at k, or to another variant of
the same cut takes that boot's outcome and says so (`same_as`); a write that changes nothing is
not torn (`torn_unchanged` counts them). The whole-write points at k - 1 that the sample lacks are
booted, as whole points, to give each torn cut its neighbours."""

import hashlib
import shutil
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Generator, Hashable, List, Optional, Sequence, Tuple

from ... import flashlog, store
from . import torn
from .bench import Bench, progress
from .boots import Boot, boot
from .outcomes import KEPT, Describe, Judge, outcome_key, run_points, settle
from .points import label

Values = Tuple[Optional[str], Optional[str]]  # V's old and new values (hex; None: absent)


def chosen(outcomes: Dict[int, Hashable], sample: Sequence[int], refined: bool,
           limit: Optional[int]) -> List[int]:
    """The writes to tear: the sampled points and, after refining, every window's edges (its
    first and last write), k = 0 left out (no write); with LIMIT, that many, the edges where the
    outcome changes first, then the others spread evenly inside."""
    ks = sorted(outcomes)
    pairs = [(low, high) for low, high in zip(ks, ks[1:]) if outcomes[low] != outcomes[high]]
    changes = {high for _, high in pairs}
    edges = changes | ({low for low, _ in pairs} if refined else set())
    every = sorted((set(sample) | edges) - {0})
    if limit is None or len(every) <= limit:
        return every
    first = sorted(k for k in every if k in changes)[:limit]
    rest = [k for k in every if k not in first]
    more = limit - len(first)
    picked = {rest[(i + 1) * len(rest) // (more + 1)] for i in range(more)}
    return sorted(set(first) | picked)


@dataclass
class Cut:
    k: int
    cut: torn.Torn
    field: str
    phase: str
    same_as: Optional[str] = None  # "k-1", "k", or the mode/variant booted for it
    store: Optional[Path] = None


def tears(bench: Bench, kind: str, start: bytes, ops: Sequence[flashlog.Op], base: int,
          final: Optional[store.Layout], ks: Sequence[int], describe: Describe
          ) -> Generator[Tuple[Cut, bytearray], None, int]:
    """Yields every torn cut of the writes KS, each with the store before its write (one buffer,
    changed as the walk goes on: use it before asking for the next); returns the number of writes
    that change nothing."""
    image = bytearray(start)
    digest = hashlib.sha256()
    done, unchanged = 0, 0
    for k in sorted(ks):
        count = base + k
        for op in ops[done:count - 1]:
            digest.update(op.line().encode() + b"\n")
        flashlog.apply(image, ops[done:count - 1])
        op = ops[count - 1]
        digest.update(op.line().encode() + b"\n")
        done = count
        log_hash = digest.hexdigest()
        found = torn.tear(op, image, bench.torn.modes, log_hash, kind, k, bench.torn.seed)
        _, old, whole = torn.region(op, image)
        if torn.unchanged(op, old, whole):
            unchanged += 1
        before = [] if op.erase else [bytes(image[o:o + len(d)]) for o, d in op.runs]
        field_name = label(op, before, final)
        seen: Dict[bytes, str] = {old: "k-1", whole: "k"}
        for cut in found:
            name = f"{cut.mode.name}/{cut.variant}"
            found_cut = Cut(k, cut, field_name, describe(op, field_name),
                            seen.get(cut.torn))
            seen.setdefault(cut.torn, name)
            yield found_cut, image
        flashlog.apply(image, [op])
    return unchanged


def store_name(kind: str, k: int, cut: torn.Torn) -> str:
    """A torn store's name: with k, the mode and the variant; "sweep-0042-some-1" sorts between
    sweep-0041.fd and sweep-0042.fd."""
    return f"{kind}-{k:04d}-{cut.mode.name}-{cut.variant}"


def entry_of(cut: Cut, seed: int) -> Dict:
    """A torn cut's entry in the JSON, before its outcome; a mode no NOR chip is known to leave
    says so (worst_case)."""
    entry = {"k": cut.k, "mode": cut.cut.mode.name, "variant": cut.cut.variant, "seed": seed,
             "op": cut.cut.line(), "field": cut.field, "phase": cut.phase}
    if not cut.cut.mode.real:
        entry["worst_case"] = True
    return entry


def judged_entry(entry: Dict, result: Boot, judge: Judge, values: Values) -> None:
    outcome, collateral = judge(result)
    entry.update(outcome=outcome, read=result.read, collateral=collateral,
                 seconds=round(result.seconds, 1))
    if result.brick:
        entry["brick"] = result.brick
    if outcome == "corrupt":
        entry["between"] = torn.between(result.read, *values)


def cuts(bench: Bench, kind: str, start: bytes, ops: Sequence[flashlog.Op], base: int,
         final: Optional[store.Layout], timeout: float, judge: Judge, describe: Describe,
         by_k: Dict[int, Dict], ks: Sequence[int], known, values: Values
         ) -> Tuple[Dict, List[Dict], List[Dict]]:
    """Tears each write of KS, boots every torn store that is new and judges it; boots the
    neighbours at k - 1 the sample lacks. Returns the kind's torn entries and count of unchanged
    writes ({"torn", "torn_unchanged"}), the whole points booted for neighbours, and the
    reproducers. VALUES: V's old and new values, to say whether a corrupt one lies between."""
    seed = bench.torn.seed
    reproducers: List[Dict] = []
    lock = threading.Lock()
    slots = threading.Semaphore(bench.jobs + 1)
    booted: List[Tuple[Cut, Dict]] = []
    copied: List[Cut] = []

    def evaluate(number: int, cut: Cut) -> None:
        try:
            image = cut.store.with_suffix(".boot")
            shutil.copyfile(cut.store, image)
            result = boot(bench, image, timeout)
            image.unlink()
            entry = entry_of(cut, seed)
            judged_entry(entry, result, judge, values)
            settle(bench, entry, cut.store, kind, cut.k, cut.cut.line(), judge, timeout,
                   reproducers, store_name(kind, cut.k, cut.cut))
            with lock:
                booted.append((cut, entry))
            progress(f"{kind}: torn cut {number}, k={cut.k} {cut.cut.mode.name}/"
                     f"{cut.cut.variant} ({cut.field}): {entry['outcome']}"
                     + (f", then {entry['again']}" if "again" in entry else ""))
        finally:
            cut.store.unlink(missing_ok=True)
            slots.release()

    generator = tears(bench, kind, start, ops, base, final, ks, describe)
    futures = []
    with ThreadPoolExecutor(bench.jobs) as pool:
        while True:
            try:
                cut, image = next(generator)
            except StopIteration as stop:
                unchanged = stop.value
                break
            if cut.same_as is not None:
                copied.append(cut)
                continue
            slots.acquire()
            cut.store = bench.work / f"torn-{store_name(kind, cut.k, cut.cut)}.fd"
            cut.store.write_bytes(cut.cut.apply(bytearray(image)))
            futures.append(pool.submit(evaluate, len(futures) + 1, cut))
        for future in futures:
            future.result()
    torn_ks = sorted({cut.k for cut, _ in booted} | {cut.k for cut in copied})
    missing = [base + k - 1 for k in torn_ks if k - 1 not in by_k]
    whole: List[Dict] = []
    if missing:
        progress(f"{kind}: torn cuts: booting their neighbours k="
                 f"{', '.join(str(count - base) for count in missing)}")
        whole, more = run_points(bench, kind, start, ops, missing, base, final, timeout, judge,
                                 known, describe)
        reproducers.extend(more)
    points = {**by_k, **{point["k"]: point for point in whole}}
    by_name = {(cut.k, f"{cut.cut.mode.name}/{cut.cut.variant}"): entry for cut, entry in booted}
    entries = [entry for _, entry in booted]
    for cut in copied:
        entry = entry_of(cut, seed)
        source = (points[cut.k - 1] if cut.same_as == "k-1" else points[cut.k]
                  if cut.same_as == "k" else by_name[(cut.k, cut.same_as)])
        entry.update({name: source[name] for name in ("outcome", "read", "collateral", "brick",
                                                      "again", "between") if name in source})
        if entry["outcome"] == "corrupt" and "between" not in entry:
            entry["between"] = torn.between(entry["read"], *values)
        entry["same_as"] = cut.same_as
        entries.append(entry)
    order = {mode.name: at for at, mode in enumerate(torn.MODES)}
    entries.sort(key=lambda e: (e["k"], order[e["mode"]], e["variant"]))
    for entry in entries:
        sides = (points[entry["k"] - 1], points[entry["k"]])
        entry["neighbours"] = [side["outcome"] for side in sides]
        entry["novel"] = outcome_key(entry) not in {outcome_key(side) for side in sides}
    return ({"torn": entries, "torn_unchanged": unchanged}, whole, reproducers)


def broken(entries: Sequence[Dict]) -> List[Dict]:
    """The torn cuts booted that broke the promise (a copy of another boot's outcome is counted
    there)."""
    return [entry for entry in entries if "same_as" not in entry and entry["outcome"] not in KEPT]
