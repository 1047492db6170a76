"""--plot FILE: each kind's points, the writes applied across, the outcome of each point, and the
field its write touched as a band (matplotlib, Debian's python3-matplotlib)."""

from pathlib import Path
from typing import Dict

from .bench import progress
from .outcomes import KEPT, OUTCOMES

KINDS = ("sweep", "boot", "reclaim")


def kind_axis(axis, result: Dict, kind: str, colours: Dict, palette) -> None:
    """One kind's points on AXIS; COLOURS, the fields' colours, are shared by every kind."""
    points = result[kind]["points"]
    ks = [point["k"] for point in points]
    # Every write has a point: bands meet. Points spread over many writes: a narrow band each.
    every = all(b - a == 1 for a, b in zip(ks, ks[1:]))
    half = 0.5 if every else max(0.5, (ks[-1] - ks[0]) / 300)
    for point in points:
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


def plot(result: Dict, path: Path) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError:
        progress("no plot: matplotlib is missing (Debian's python3-matplotlib)")
        return
    kinds = [kind for kind in KINDS if kind in result]
    if not kinds:
        progress("no plot: --cuts alone has no writes to plot")
        return
    figure, axes = pyplot.subplots(len(kinds), 1, figsize=(11, 3.2 * len(kinds)), squeeze=False)
    colours: Dict = {}
    palette = pyplot.get_cmap("tab20").colors
    for axis, kind in zip(axes[:, 0], kinds):
        kind_axis(axis, result, kind, colours, palette)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    progress(f"plot: {path}")
