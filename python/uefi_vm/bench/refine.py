"""Exact windows from a sample of power-cut points.

A kind of cut whose points are a sample (a few writes out of thousands) shows where the outcome
changes only to within the gap between two sampled points. Refining bisects each such gap, booting
the write halfway between two neighbouring points whose outcomes differ, until the two are one
write apart: then the last point of one outcome and the first of the next are exact. Every gap is
bisected at once, so that each round's points can boot side by side; a boundary costs about
log2(gap) boots. When fewer boundaries are left than VMs can run at once, each gap is cut into
more parts per round: two points cut a gap into thirds, so the rounds drop from log2(gap) to
log3(gap) for one more boot each.

What refining cannot see: a window that lies wholly between two sampled points of the same outcome
(a brick between two "old" points, say) leaves no boundary to bisect. Only a denser sample finds it.
"""

from dataclasses import dataclass
from typing import Callable, Dict, Hashable, List, Sequence, Tuple

Outcomes = Dict[int, Hashable]  # the writes applied (k) -> what a boot after them showed


def boundaries(outcomes: Outcomes) -> List[Tuple[int, int]]:
    """The pairs of neighbouring points whose outcomes differ and that are more than one write
    apart: the gaps left to bisect."""
    ks = sorted(outcomes)
    return [(low, high) for low, high in zip(ks, ks[1:])
            if outcomes[low] != outcomes[high] and high - low > 1]


def inner(low: int, high: int, count: int) -> List[int]:
    """COUNT points that cut the writes between LOW and HIGH into parts as even as they can be,
    each strictly between the two."""
    return sorted({low + (high - low) * i // (count + 1) for i in range(1, count + 1)} - {low})


def refine(outcomes: Outcomes, boot: Callable[[Sequence[int]], Outcomes],
           width: int = 1) -> Tuple[Outcomes, int]:
    """Bisects every boundary of OUTCOMES until each lies between two adjacent writes. BOOT boots
    the points it is given (side by side, as it likes) and returns their outcomes; WIDTH is how
    many it boots at once. Gives every point now known, the sample's included, and the number of
    boots refining took."""
    known = dict(outcomes)
    boots = 0
    while True:
        gaps = boundaries(known)
        each = max(1, width // max(1, len(gaps)))
        middles = sorted({k for low, high in gaps for k in inner(low, high, each)})
        if not middles:
            return known, boots
        found = boot(middles)
        missing = [k for k in middles if k not in found]
        if missing:
            raise ValueError(f"no outcome for the points {missing}")
        known.update({k: found[k] for k in middles})
        boots += len(middles)


@dataclass
class Window:
    """A run of neighbouring points with one outcome: FIRST and LAST are the k of its first and
    last point."""

    first: int
    last: int
    outcome: Hashable


def windows(outcomes: Outcomes) -> List[Window]:
    """The points in order of k, cut into runs of one outcome. After refine(), each run's ends are
    exact wherever it meets a run of another outcome."""
    runs: List[Window] = []
    for k in sorted(outcomes):
        if runs and runs[-1].outcome == outcomes[k]:
            runs[-1].last = k
        else:
            runs.append(Window(k, k, outcomes[k]))
    return runs
