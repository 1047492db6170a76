"""--reclaim N: points over the reclaim that a boot runs on a nearly full store, the store filled
as bench/store-fill --prefill does and then the loop run until the store refuses a write."""

import subprocess
from typing import Dict, List, Sequence, Tuple

from ... import flashlog, store
from .. import store_fill
from .bench import Bench, BenchError, factory, kept_log, progress
from .boots import control
from .outcomes import judged, summary
from .points import around_erases, layout_of
from .windows import sampled

RECLAIM_PREFILL = {"x86_64": 8, "aarch64": 2}  # KiB left by the prefill (x86 kernels keep 5 KiB)


def full_store(bench: Bench) -> bytes:
    """The factory store filled, then the loop on V until the store refused a write."""
    full = bench.work / "reclaim-fill.fd"
    full.write_bytes(factory(bench))
    progress("reclaim: filling the store (as bench/store-fill --prefill does)")
    try:
        before = store_fill.prefill(bench.firmware_options, full, bench.work,
                                    RECLAIM_PREFILL[bench.firmware.machine_name], tool=bench.tool)
    except store_fill.Failed as failure:
        raise BenchError(f"reclaim: {failure}") from None
    progress(f"reclaim: the loop on {bench.name} until the store refuses a write")
    loop = subprocess.run(bench.vm("--vars", str(full), *before, "--", "/t", bench.name),
                          stdout=subprocess.PIPE)
    if loop.returncode != 0 or b"set failed at count" not in loop.stdout:
        raise BenchError(f"reclaim: the loop did not end with a refused write ({loop.returncode})")
    return full.read_bytes()


def reclaim_span(start: bytes, ops: Sequence[flashlog.Op], ready: int) -> Tuple[int, int]:
    """The boot's writes from the first to the last that erases or touches the FTW areas."""
    layout = layout_of(start)
    ftw = [area for area in (layout.work_space, layout.spare) if area] if layout else []
    touching = [index for index, op in enumerate(ops[:ready])
                if op.erase or any(a <= op.offset < b for a, b in ftw)]
    if not touching:
        raise BenchError("reclaim: the boot on the full store did not reclaim it")
    return touching[0], touching[-1] + 1


def reclaim(bench: Bench, count: int, refining: bool = False) -> Tuple[Dict, List[Dict]]:
    start = full_store(bench)
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
    low, high = reclaim_span(start, log.ops, ready)
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
    found, reproducers = sampled(bench, "reclaim", start, log.ops, counts, 0, final,
                                 ctrl.timeout, judge, refining=refining,
                                 values=(ctrl.first.read, ctrl.first.read))
    return {"writes": high - low, "erases": erases, "log_writes": [low + 1, high],
            "log": kept_log(bench, log_path), "control_seconds": round(ctrl.first.seconds, 1),
            "control_changed": changed, "timeout": round(ctrl.timeout), "varies": ctrl.varies,
            **found, "counts": summary(found["points"])}, reproducers
