"""--boot N: points spread over the firmware's first boot on its factory store."""

from typing import Dict, List, Tuple

from ... import flashlog
from .bench import Bench, factory, kept_log, progress
from .boots import control
from .outcomes import judged, summary
from .points import layout_of, spread
from .windows import sampled


def first_boot(bench: Bench, count: int, refining: bool = False) -> Tuple[Dict, List[Dict]]:
    start = factory(bench)
    log_path = bench.work / "boot.log"
    ctrl = control(bench, start, "boot", log_path)
    log = flashlog.read(log_path)
    ready = log.marker("ready") or len(log.ops)
    progress(f"boot: the first boot wrote {ready} times; {count} points over it")
    final = layout_of(flashlog.rebuild(start, log.ops, ready))
    judge = judged(ctrl.first, ctrl.varies, bench.key, ctrl.first.read, ctrl.first.read)
    found, reproducers = sampled(bench, "boot", start, log.ops, spread(0, ready, count), 0,
                                 final, ctrl.timeout, judge, refining=refining,
                                 values=(ctrl.first.read, ctrl.first.read))
    return {"writes": ready, "erases": sum(1 for op in log.ops[:ready] if op.erase),
            "log": kept_log(bench, log_path), "control_seconds": round(ctrl.first.seconds, 1),
            "timeout": round(ctrl.timeout), "varies": ctrl.varies, **found,
            "counts": summary(found["points"])}, reproducers
