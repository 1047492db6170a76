"""--sweep: every write of one update of V on a fresh store, or a sample of them that covers every
field: an update by the loop, or the one tool command --write runs."""

from pathlib import Path
from typing import Dict, List, Optional, Tuple

from ... import flashlog, text
from .bench import Bench, BenchError, factory, kept_log, progress, said
from .boots import control
from .outcomes import judged, summary
from .points import by_fields, choose, layout_of, updates, walk
from .windows import sampled
from .write import Span, Write, logged_write

LOOP_SECONDS = 8  # the logged loop of the sweep: about 100 updates


def logged_loop(bench: Bench, start: bytes) -> Tuple[flashlog.Log, Path]:
    """The loop on V for LOOP_SECONDS on START, its flash logged; the log must replay to the store
    the loop left. Returns the log and its file."""
    loop_store, log_path = bench.work / "sweep-loop.fd", bench.work / "sweep.log"
    loop_store.write_bytes(start)
    progress(f"sweep: the loop on {bench.name} for {LOOP_SECONDS} s on a fresh store, its flash "
             "logged")
    ran = bench.executor.run(bench.seam_argv("--vars", "@in/store.fd", "--flash-log",
                                             "@out/flash.log", "--stop-after",
                                             str(LOOP_SECONDS), "--", "/t", bench.name),
                             {"store.fd": start}, ["store.fd", "flash.log"], "the logged loop")
    status = ran["status"]
    loop_store.write_bytes(ran["outputs"].get("store.fd", start))
    log_path.write_bytes(ran["outputs"].get("flash.log", b""))
    if status != 130:
        raise BenchError(f"the logged loop ended with {status}, not 130 (interrupted)"
                         + said(ran))
    log = flashlog.read(log_path)
    if flashlog.rebuild(start, log.ops, len(log.ops)) != loop_store.read_bytes():
        raise BenchError("the flash log, replayed, does not give the store the loop left")
    return log, log_path


def loop_span(bench: Bench, start: bytes, counter: Optional[int]
              ) -> Tuple[flashlog.Log, Path, Span, Dict]:
    """The update of V by the logged loop: the one that wrote COUNTER, or the longest in the
    middle third."""
    log, log_path = logged_loop(bench, start)
    found = updates(start, log, bench.name)
    update = choose(found, counter)
    old, new = text.hex_text(update.old), text.hex_text(update.new)
    progress(f"sweep: {len(found)} updates logged; the update from {old} to {new} is "
             f"{update.last - update.first} writes (log operations {update.first + 1} to "
             f"{update.last})")
    return log, log_path, Span(update.first, update.last, old, new), {}


def shown(value: Optional[str]) -> str:
    """V's value for a progress line: its first 8 bytes and its length."""
    if value is None:
        return "absent"
    size = len(value.split())
    return value if size <= 8 else f"{value[:23]} ... ({size} bytes)"


def write_span(bench: Bench, start: bytes, command: Write
               ) -> Tuple[flashlog.Log, Path, Span, Dict]:
    log, log_path, found = logged_write(bench, start, command)
    progress(f"sweep: the write from {shown(found.old)} to {shown(found.new)} is "
             f"{found.last - found.first} writes (log operations {found.first + 1} to "
             f"{found.last})")
    if found.old == found.new:
        raise BenchError(f"the write left {command.name} as it was ({shown(found.old)})")
    return log, log_path, found, dict(command.given)


def sweep(bench: Bench, every: bool, counter: Optional[int], command: Optional[Write] = None,
          refining: bool = False) -> Tuple[Dict, List[Dict]]:
    """Every write of one update of V, or a sample by fields: the loop's update, or COMMAND's."""
    start = factory(bench)
    log, log_path, update, described = (write_span(bench, start, command) if command
                                        else loop_span(bench, start, counter))
    before = flashlog.rebuild(start, log.ops, update.first)
    final = layout_of(flashlog.rebuild(start, log.ops, update.last))
    ctrl = control(bench, before, "sweep")
    counts = list(range(update.first, update.last + 1))
    if not every:
        labels = [(count, name, op) for count, _, op, name in walk(start, log.ops, counts, final,
                                                                   update.first)]
        counts = by_fields(labels)
    judge = judged(ctrl.first, ctrl.varies, bench.key, update.old, update.new)
    found, reproducers = sampled(bench, "sweep", start, log.ops, counts, update.first, final,
                                 ctrl.timeout, judge, {update.first: ctrl.first}, refining,
                                 (update.old, update.new))
    return {**described, "writes": update.last - update.first, "old": update.old,
            "new": update.new, "log": kept_log(bench, log_path),
            "log_writes": [update.first + 1, update.last], "control_seconds":
            round(ctrl.first.seconds, 1), "timeout": round(ctrl.timeout), "varies": ctrl.varies,
            **found, "counts": summary(found["points"])}, reproducers
