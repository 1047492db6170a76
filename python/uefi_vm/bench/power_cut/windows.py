"""A kind's points as windows: the sample booted, refined (--refine) until each change of outcome
lies between two adjacent writes, and cut into runs of one outcome; and each point's phase, what
its write did in words that hold for any build doing the same thing (no offsets, no k)."""

from typing import Callable, Dict, Hashable, List, Optional, Sequence, Tuple

from ... import flashlog, store
from ..refine import refine, windows
from . import torn_points
from .bench import Bench, progress
from .outcomes import Judge, outcome_key, run_points
from .points import layout_of

# A state byte's bits, cleared one by one as a record goes on (edk2's VAR_* values).
STATES = ((0x02, "deleted"), (0x01, "in deletion"), (0x40, "added"), (0x80, "header valid"))
PARTS = 16  # a write into the FTW spare area says which sixteenth of it


def written(op: flashlog.Op, offset: int) -> Optional[int]:
    for start, data in op.runs:
        if start <= offset < start + len(data):
            return data[offset - start]
    return None


def erase_phase(op: flashlog.Op, final: store.Layout) -> str:
    """"erase store 3/64": the erased block's place among the blocks of its area."""
    offset, length = op.erase
    area = final.area(offset)
    bounds = {"store": (0, final.end), "ftw spare": final.spare,
              "ftw working block": final.working_block}.get(area)
    if not bounds or not length:
        return f"erase {area}"
    blocks = max(1, -(-(bounds[1] - bounds[0]) // length))
    return f"erase {area} {(offset - bounds[0]) // length + 1}/{blocks}"


def phase(op: Optional[flashlog.Op], label: str, final: Optional[store.Layout],
          fresh: int) -> str:
    """What OP, labelled LABEL, did: to which record (by name; "new" when it lies where the store
    was free at the start, at FRESH or beyond, "old" otherwise) and to which of its fields, with
    the state it set; an erase's block; the part of the FTW spare area it wrote."""
    if op is None:
        return "before the writes"
    if final is None:
        return label
    if op.erase:
        return erase_phase(op, final)
    spot = op.offset
    record = next((r for r in final.records if r.offset <= spot < r.end), None)
    if record is not None:
        role = "new" if record.offset >= fresh else "old"
        words = f"{role} record {record.name} {label}"
        state = written(op, record.offset + store.STATE)
        if state is not None and "state" in label and "(same bytes)" not in label:
            words += " " + next((name for bit, name in STATES if not state & bit), "erased")
        return words
    if final.spare and final.spare[0] <= spot < final.spare[1]:
        low, high = final.spare
        return f"{label} {(spot - low) * PARTS // (high - low) + 1}/{PARTS}"
    return label


def describer(start: bytes, ops: Sequence[flashlog.Op], base: int,
              final: Optional[store.Layout]) -> Callable[[Optional[flashlog.Op], str], str]:
    before = layout_of(flashlog.rebuild(start, ops, base))
    fresh = before.free if before else 0
    return lambda op, label: phase(op, label, final, fresh)


def window_entries(points: List[Dict], sample: Sequence[int], ops: Sequence[flashlog.Op],
                   base: int) -> List[Dict]:
    """The windows of POINTS (sorted by k). A window's boots: the points booted from the sampled
    point before it to the sampled point after it, those two included."""
    def line(k: int) -> Optional[str]:
        return ops[base + k - 1].line() if k > 0 else None

    entries = []
    for window in windows({point["k"]: outcome_key(point) for point in points}):
        inside = [p for p in points if window.first <= p["k"] <= window.last]
        low = max((k for k in sample if k < window.first), default=window.first)
        high = min((k for k in sample if k > window.last), default=window.last)
        entry = {"first": window.first, "last": window.last, "outcome": inside[0]["outcome"],
                 "fields": list(dict.fromkeys(p["field"] for p in inside)),
                 "bounds": [line(window.first), line(window.last)],
                 "boots": sum(1 for p in points if low <= p["k"] <= high),
                 "phases": [inside[0]["phase"], inside[-1]["phase"]]}
        if "brick" in inside[0]:
            entry["brick"] = {key: inside[0]["brick"].get(key) for key in ("exception", "image")}
            if inside[0]["brick"].get("assert"):
                entry["brick"]["assert"] = inside[0]["brick"]["assert"]
        entries.append(entry)
    return entries


def sampled(bench: Bench, kind: str, start: bytes, ops: Sequence[flashlog.Op],
            counts: Sequence[int], base: int, final: Optional[store.Layout], timeout: float,
            judge: Judge, known=None, refining: bool = False,
            values: Tuple[Optional[str], Optional[str]] = (None, None)
            ) -> Tuple[Dict, List[Dict]]:
    """Boots the points after each of COUNTS writes (K counts from BASE), with --refine bisects
    every change of outcome down to one write, with --torn cuts inside the points' writes (V's
    old and new VALUES say whether a corrupt value lies between them); the kind's points and
    windows (and torn cuts), and the reproducers."""
    describe = describer(start, ops, base, final)
    # The points another run broke at (--at-windows), where this run's writes reach them. Its k
    # are this run's only where both made the same writes: a window's end that is another write
    # here is named.
    more = {k: line for k, line in bench.at.get(kind, {}).items() if 0 <= base + k <= len(ops)}
    for k, line in sorted(more.items()):
        if line and k > 0 and ops[base + k - 1].line() != line:
            progress(f"{kind}: --at-windows: k={k} is {ops[base + k - 1].line()} here, {line} "
                     "in the other run: their writes differ, and so do their k")
    counts = sorted(set(counts) | {base + k for k in more})
    points, reproducers = run_points(bench, kind, start, ops, counts, base, final, timeout,
                                     judge, known, describe)
    by_k = {point["k"]: point for point in points}
    if refining:
        def boot(ks: Sequence[int]) -> Dict[int, Hashable]:
            progress(f"{kind}: refining: booting k={', '.join(map(str, sorted(ks)))}")
            found, more = run_points(bench, kind, start, ops, [base + k for k in sorted(ks)],
                                     base, final, timeout, judge, known, describe)
            reproducers.extend(more)
            by_k.update((point["k"], point) for point in found)
            return {point["k"]: outcome_key(point) for point in found}

        _, boots = refine({k: outcome_key(point) for k, point in by_k.items()}, boot,
                          bench.jobs)
        progress(f"{kind}: refining took {boots} boots; it cannot see a window that lies "
                 "wholly between two points of the same outcome")
    found: Dict = {}
    if bench.torn:
        ks = torn_points.chosen({k: outcome_key(point) for k, point in by_k.items()},
                                [c - base for c in counts], refining, bench.torn.points)
        found, whole, more = torn_points.cuts(bench, kind, start, ops, base, final, timeout,
                                              judge, describe, by_k, ks, known, values)
        by_k.update((point["k"], point) for point in whole)
        reproducers.extend(more)
    every = sorted(by_k.values(), key=lambda point: point["k"])
    return {"points": every, "windows": window_entries(every, [c - base for c in counts], ops,
                                                       base), **found}, reproducers


def costs(entry: Dict, boots: int, seconds: float) -> None:
    """A kind's total boots (its control's included) and time."""
    entry.update(boots=boots, seconds=round(seconds, 1),
                 seconds_per_point=round(seconds / max(1, len(entry.get("points", []))), 1))
