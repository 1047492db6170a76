"""--compare A.json B.json: two runs of the bench compared, a release against the next or a build
before and after a fix.

Two builds write differently: the same update may take 94 writes in one and 97 in the other, so k
says nothing across runs. The runs are aligned by what the writes did instead: each kind's points,
in order of k, are cut into runs of one phase (the point's `phase`, or its `field` in a run that
has none), and the two sequences of phases are matched (difflib); a window of points of one
outcome then covers a span of that common sequence, and two windows meet when their spans
overlap. For each kind: the broken windows of A that meet no broken window of B are gone, those
of B that meet none of A are new, and two broken windows that meet with different outcomes (a
brick's outcome includes its CPU exception) changed, when one of them meets no window of its own
outcome (neighbouring windows share the phase their boundary falls in). A window of B that meets
one of A but also covers phases where A kept the promise at every point it booted grew; the same
of A, against B, shrank. The random cuts compare by their counts of outcomes.

Torn cuts (--torn) are compared by place, the phase of the write they tore and their mode (a
variant's bits differ between builds): a place where B broke the promise and A tore the same and
kept it everywhere is broken, the reverse fixed, and a place B broke that A never tore unseen.

The output: a line for each change, then one JSON object: for each kind {gone, new, changed,
grown, shrunk} (cuts: {a, b, regression}; with torn cuts on either side also torn: {broken,
fixed, unseen}), and `regressions`: the new and the grown windows, the torn places broken, and
the cuts when B broke the promise more often than A. Exit status: 1 when there is a regression,
0 when there is none, 125 when a file cannot be read, is not a run's JSON line, or the two runs
are of different variables or write commands."""

import json
import re
import sys
from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from difflib import SequenceMatcher
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from .bench import FAILED
from .outcomes import KEPT
from .plot import KINDS

CHANGES = ("gone", "new", "changed", "grown", "shrunk")  # a kind's lists, in the JSON
MNEMONIC = re.compile(r"#[A-Z]{2}\b")
Span = Tuple[int, int]


class CompareError(Exception):
    """The comparison cannot be made: status 125."""


def load(path: Path) -> Dict:
    """The last non-empty line of PATH, the JSON object a run printed, checked for what is read."""
    try:
        lines = [line for line in Path(path).read_text().splitlines() if line.strip()]
    except (OSError, UnicodeDecodeError) as failure:
        raise CompareError(f"{path}: cannot be read ({failure})") from None
    try:
        run = json.loads(lines[-1]) if lines else None
    except ValueError:
        run = None
    if (not isinstance(run, dict) or not isinstance(run.get("variable"), str)
            or not any(kind in run for kind in (*KINDS, "cuts"))):
        raise CompareError(f"{path}: not the JSON line of a bench/power-cut run")
    for kind in KINDS:
        if kind in run:
            check_kind(path, kind, run[kind])
    cuts = run.get("cuts", [])
    if not (isinstance(cuts, list) and all(isinstance(cut, dict) for cut in cuts)):
        raise CompareError(f"{path}: the cuts are not a run's cuts")
    return run


def check_kind(path: Path, kind: str, result) -> None:
    """A kind's points and windows hold what the comparison reads."""
    points = result.get("points") if isinstance(result, dict) else None
    if not (isinstance(points, list) and all(
            isinstance(p, dict) and isinstance(p.get("k"), int)
            and isinstance(p.get("outcome"), str) for p in points)):
        raise CompareError(f"{path}: the {kind} points are not a run's points")
    torn = result.get("torn", [])
    if not (isinstance(torn, list) and all(
            isinstance(t, dict) and isinstance(t.get("k"), int) and isinstance(t.get("mode"), str)
            and isinstance(t.get("outcome"), str) for t in torn)):
        raise CompareError(f"{path}: the {kind} torn cuts are not a run's torn cuts")
    given = result.get("windows")
    if given is not None and not (isinstance(given, list) and all(
            isinstance(w, dict) and isinstance(w.get("first"), int)
            and isinstance(w.get("last"), int) and isinstance(w.get("outcome"), str)
            for w in given)):
        raise CompareError(f"{path}: the {kind} windows are not a run's windows")


def sweep_command(run: Dict) -> Tuple[Tuple[str, ...], Optional[str]]:
    """The tool commands a run's sweep swept: its setup and its write (none: the loop's update)."""
    setup = run["sweep"].get("setup") or ()
    return (tuple([setup] if isinstance(setup, str) else setup), run["sweep"].get("write"))


def comparable(a: Dict, b: Dict) -> None:
    if a["variable"] != b["variable"]:
        raise CompareError(f"A is a run on {a['variable']}, B on {b['variable']}: the runs "
                           "must be of one variable")
    if "sweep" in a and "sweep" in b and sweep_command(a) != sweep_command(b):
        raise CompareError(f"A swept {sweep_command(a)}, B swept {sweep_command(b)}: the sweeps "
                           "must be of one write")


def label(outcome: str, brick: Optional[Dict]) -> str:
    """A point's or window's outcome; a brick's with its CPU exception (#GP) or its console."""
    if not outcome.startswith("brick"):
        return outcome
    brick = brick if isinstance(brick, dict) else {}
    found = MNEMONIC.search(f"{outcome} {brick.get('exception') or ''}")
    if found:
        return f"brick {found.group(0)}"
    if brick.get("assert"):
        return f"brick ({brick['assert']})"
    return f"brick ({brick['console']})" if brick.get("console") else outcome


def phase(point: Dict) -> str:
    return str(point.get("phase") or point.get("field") or "?")


@dataclass
class Window:
    first: int
    last: int
    outcome: str
    phases: List[str]
    span: Span = (0, 0)  # in the common sequence of phases

    def entry(self) -> Dict:
        return {"outcome": self.outcome, "k": [self.first, self.last], "phases": self.phases}

    def where(self) -> str:
        ends = self.phases if self.phases[0] != self.phases[-1] else self.phases[:1]
        return " .. ".join(f'"{end}"' for end in ends)


def windows(result: Dict, points: List[Dict]) -> List[Window]:
    """A kind's windows: as the run gave them, or its points (in order of k) cut into runs of one
    outcome."""
    by_k = {point["k"]: point for point in points}
    if isinstance(result.get("windows"), list):
        found = []
        for given in result["windows"]:
            first = by_k.get(given["first"], {})
            phases = given.get("phases") or [phase(first), phase(by_k.get(given["last"], {}))]
            found.append(Window(given["first"], given["last"],
                                label(given["outcome"], first.get("brick")), list(phases)))
        return found
    runs: List[Window] = []
    for point in points:
        outcome = label(point["outcome"], point.get("brick"))
        if runs and runs[-1].outcome == outcome:
            runs[-1].last, runs[-1].phases[1] = point["k"], phase(point)
        else:
            runs.append(Window(point["k"], point["k"], outcome, [phase(point), phase(point)]))
    return runs


def phase_runs(points: List[Dict]) -> Tuple[List[str], List[int]]:
    """The phases of POINTS (in order of k), repeats in a row collapsed, and each point's run."""
    phases: List[str] = []
    run_of: List[int] = []
    for point in points:
        if not phases or phases[-1] != phase(point):
            phases.append(phase(point))
        run_of.append(len(phases) - 1)
    return phases, run_of


def common_spans(a: Sequence[str], b: Sequence[str]) -> Tuple[List[Span], List[Span]]:
    """Each run's span in one sequence of both runs' phases: a phase both have is one place;
    where they differ, every run of either side spans the whole stretch."""
    spans_a: List[Span] = [(0, 0)] * len(a)
    spans_b: List[Span] = [(0, 0)] * len(b)
    at = 0
    for tag, i1, i2, j1, j2 in SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        width = max(i2 - i1, j2 - j1)
        if tag == "equal":
            spans_a[i1:i2] = spans_b[j1:j2] = [(at + n, at + n) for n in range(width)]
        else:
            spans_a[i1:i2] = [(at, at + width - 1)] * (i2 - i1)
            spans_b[j1:j2] = [(at, at + width - 1)] * (j2 - j1)
        at += width
    return spans_a, spans_b


def place(found: List[Window], points: List[Dict], run_of: List[int], spans: List[Span]) -> None:
    """Each window's span: from its first point's run to its last's."""
    ks = [point["k"] for point in points]
    for window in found:
        low = min(bisect_left(ks, window.first), len(ks) - 1)
        high = max(bisect_right(ks, window.last) - 1, 0)
        window.span = (spans[run_of[low]][0], spans[run_of[max(low, high)]][1])


def meet(one: Span, other: Span) -> bool:
    return one[0] <= other[1] and other[0] <= one[1]


def meeting(window: Window, other: List[Window]) -> List[Window]:
    return [there for there in other if meet(window.span, there.span)]


def changes(broken_a: List[Window], broken_b: List[Window]) -> List[Tuple[Window, Window]]:
    """The broken windows whose outcome changed, each with its counterpart. Neighbouring windows
    share the phase their boundary falls in, so a window also meets its neighbour's counterpart:
    only a window that meets none of its own outcome on the other side changed, and its
    counterpart is, of the windows it meets, one that changed too if there is one."""
    def changed(window: Window, other: List[Window]) -> bool:
        met = meeting(window, other)
        return bool(met) and all(there.outcome != window.outcome for there in met)

    moved_a = [w for w in broken_a if changed(w, broken_b)]
    moved_b = [w for w in broken_b if changed(w, broken_a)]
    pairs: List[Tuple[Window, Window]] = []
    for window in moved_a:
        met = meeting(window, broken_b)
        pairs += [(window, there) for there in ([w for w in met if w in moved_b] or met)]
    for window in moved_b:
        if not any(there is window for _, there in pairs):
            pairs += [(there, window) for there in meeting(window, broken_a)]
    return sorted(pairs, key=lambda pair: (pair[0].first, pair[1].first))


def kept_only(points: List[Dict], run_of: List[int], spans: List[Span]) -> set:
    """The places of the common sequence where a run booted points and every one of them kept the
    promise."""
    seen, broke = set(), set()
    for point, run in zip(points, run_of):
        places = range(spans[run][0], spans[run][1] + 1)
        (seen if point["outcome"] in KEPT else broke).update(places)
    return seen - broke


def torn_by_place(cuts: List[Dict]) -> Dict[Tuple[str, str], List[Dict]]:
    """A run's torn cuts by the phase of the write they tore and their mode: a variant's bits
    differ between builds, so the variants of one place count together."""
    found: Dict[Tuple[str, str], List[Dict]] = {}
    for cut in cuts:
        found.setdefault((phase(cut), cut["mode"]), []).append(cut)
    return found


def compare_torn(kind: str, a: List[Dict], b: List[Dict], lines: List[str]) -> Dict:
    """The torn cuts of one kind: a place (phase and mode) where B broke the promise and A tore
    the same and kept it is broken (a regression); the reverse is fixed; a place B broke that A
    never tore is unseen."""
    places_a, places_b = torn_by_place(a), torn_by_place(b)

    def broke(cuts: List[Dict]) -> List[Dict]:
        return [cut for cut in cuts if cut["outcome"] not in KEPT]

    found: Dict[str, List[Dict]] = {"broken": [], "fixed": [], "unseen": []}
    for place in sorted(set(places_a) | set(places_b)):
        side_a, side_b = places_a.get(place, []), places_b.get(place, [])
        for name, one, other, letter in (("broken", side_b, side_a, "B"),
                                         ("fixed", side_a, side_b, "A")):
            if not broke(one) or broke(other) or (name == "fixed" and not other):
                continue
            if not other:
                name = "unseen"
            outcomes = sorted({label(cut["outcome"], cut.get("brick")) for cut in broke(one)})
            found[name].append({"phase": place[0], "mode": place[1], "outcomes": outcomes,
                                "k": sorted({cut["k"] for cut in broke(one)})})
            said = {"broken": "the other run kept the promise there", "fixed": "B kept it",
                    "unseen": "the other run tore no such write"}[name]
            lines.append(f"{kind}: torn {name}: {', '.join(outcomes)} at \"{place[0]}\" "
                         f"({place[1]}, {letter} k={found[name][-1]['k'][0]}); {said}")
    return found


def compare_kind(kind: str, a: Dict, b: Dict, lines: List[str]) -> Dict:
    points_a, points_b = (sorted(side.get("points", []), key=lambda p: p["k"]) for side in (a, b))
    if not points_a or not points_b:
        lines.append(f"{kind}: not compared, {'A' if not points_a else 'B'} booted no point")
        return {name: [] for name in CHANGES}
    phases_a, run_a = phase_runs(points_a)
    phases_b, run_b = phase_runs(points_b)
    spans_a, spans_b = common_spans(phases_a, phases_b)
    broken = []
    for result, points, run_of, spans in ((a, points_a, run_a, spans_a),
                                          (b, points_b, run_b, spans_b)):
        found = windows(result, points)
        place(found, points, run_of, spans)
        broken.append([window for window in found if window.outcome not in KEPT])
    found: Dict[str, List[Dict]] = {name: [] for name in CHANGES}
    for name, side, other, spans, letter in (("gone", broken[0], broken[1], spans_b, "A"),
                                             ("new", broken[1], broken[0], spans_a, "B")):
        for window in side:
            if meeting(window, other):
                continue
            entry = window.entry()
            unseen = not any(meet(window.span, span) for span in spans)
            if unseen:
                entry["unseen"] = True
            found[name].append(entry)
            lines.append(f"{kind}: {name}: {window.outcome} at {window.where()} ({letter} k="
                         f"{window.first}..{window.last})"
                         + (", where the other run booted no point" if unseen else ""))
    # A window that meets one of the other run's also covers, perhaps, phases where that run kept
    # the promise at every point it booted: the window grew (a regression) or shrank.
    kept = (kept_only(points_a, run_a, spans_a), kept_only(points_b, run_b, spans_b))
    for name, side, other, there, letter in (("shrunk", broken[0], broken[1], kept[1], "A"),
                                             ("grown", broken[1], broken[0], kept[0], "B")):
        for window in side:
            if meeting(window, other) and not there.isdisjoint(
                    range(window.span[0], window.span[1] + 1)):
                found[name].append(window.entry())
                lines.append(f"{kind}: {name}: {window.outcome} at {window.where()} ({letter} k="
                             f"{window.first}..{window.last}), also over phases where the other "
                             "run kept the promise at every point it booted")
    for window_a, window_b in changes(broken[0], broken[1]):
        found["changed"].append({"from": window_a.outcome, "to": window_b.outcome,
                                 "a": window_a.entry(), "b": window_b.entry()})
        lines.append(f"{kind}: changed: {window_a.outcome} -> {window_b.outcome} at "
                     f"{window_b.where()} (A k={window_a.first}..{window_a.last}, "
                     f"B k={window_b.first}..{window_b.last})")
    if not any(found.values()):
        lines.append(f"{kind}: no change (broken windows: {len(broken[0])} in A, "
                     f"{len(broken[1])} in B)")
    if "torn" in a or "torn" in b:
        found["torn"] = compare_torn(kind, a.get("torn", []), b.get("torn", []), lines)
    return found


def counts(cuts: List[Dict]) -> Dict[str, int]:
    found: Dict[str, int] = {}
    for cut in cuts:
        outcome = label(cut.get("outcome", "?"), cut.get("brick"))
        found[outcome] = found.get(outcome, 0) + 1
    return found


def compare_cuts(a: List[Dict], b: List[Dict], lines: List[str]) -> Dict:
    """The cuts by counts of outcomes: a regression when B broke the promise more often."""
    def share(cuts: List[Dict]) -> float:
        return sum(1 for cut in cuts if cut.get("outcome") not in KEPT) / max(1, len(cuts))
    found = {"a": counts(a), "b": counts(b), "regression": share(b) > share(a)}
    said = "; ".join(f"{letter} " + ", ".join(f"{n} {o}" for o, n in sorted(c.items()))
                     for letter, c in (("A", found["a"]), ("B", found["b"])))
    lines.append(f"cuts: {said}" + (", B broke the promise more often" if found["regression"]
                                    else ""))
    return found


def compared(a: Dict, b: Dict) -> Tuple[Dict, List[str]]:
    """The JSON object and the readable lines of A and B compared."""
    lines = [f"A: {a.get('firmware')}, B: {b.get('firmware')}; variable {a['variable']}"]
    result: Dict = {}
    regressions = 0
    for kind in (*KINDS, "cuts"):
        if kind not in a and kind not in b:
            continue
        if kind not in a or kind not in b:
            result[kind] = {"only_in": "A" if kind in a else "B"}
            lines.append(f"{kind}: only {result[kind]['only_in']} ran it")
        elif kind == "cuts":
            result[kind] = compare_cuts(a[kind], b[kind], lines)
            regressions += result[kind]["regression"]
        else:
            result[kind] = compare_kind(kind, a[kind], b[kind], lines)
            regressions += (len(result[kind]["new"]) + len(result[kind]["grown"])
                            + len(result[kind].get("torn", {}).get("broken", [])))
    result["regressions"] = regressions
    lines.append(f"regressions: {regressions}")
    return result, lines


def compare_files(a: Path, b: Path) -> int:
    try:
        first, second = load(a), load(b)
        comparable(first, second)
    except CompareError as failure:
        print(f"power-cut: {failure}", file=sys.stderr)
        return FAILED
    result, lines = compared(first, second)
    for line in lines:
        print(line)
    print(json.dumps(result))
    return 1 if result["regressions"] else 0
