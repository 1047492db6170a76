"""--reclaim N: points over the reclaim that a boot runs on a nearly full store, the store filled
as bench/store-fill --prefill does and then the loop run until the store refuses a write."""

from pathlib import Path
from typing import Dict, List, Sequence, Tuple

from ... import flashlog, store
from .. import store_fill
from .bench import Bench, BenchError, factory, kept_log, progress, said
from .boots import control
from .outcomes import judged, summary
from .points import around_erases, layout_of
from .windows import sampled

RECLAIM_PREFILL = {"x86_64": 8, "aarch64": 2}  # KiB left by the prefill (x86 kernels keep 5 KiB)


def full_store(bench: Bench) -> bytes:
    """The factory store filled, then the loop on V until the store refused a write: a first
    boot, then the boot that fills the store and runs the loop (as bench/store-fill --prefill
    does), each where the bench's boots run."""
    image = factory(bench)
    progress("reclaim: filling the store (as bench/store-fill --prefill does): a first boot, to "
             "see how much room the store has")
    first = bench.executor.run(bench.seam_argv("--vars", "@in/store.fd", "--", "/g",
                                               "BootOrder"),
                               {"store.fd": image}, ["store.fd"], "the reclaim's first boot")
    if first["status"] != 0:
        raise BenchError(f"reclaim: the first boot ended with {first['status']}" + said(first))
    image = first["outputs"]["store.fd"]
    before = store_fill.prefill_options(image, bench.work,
                                        RECLAIM_PREFILL[bench.firmware.machine_name])
    # The data files the filling writes go with the run, by their names.
    files = {}
    for at, word in enumerate(before):
        if at and before[at - 1] == "--file":
            files[f"files/{Path(word).name}"] = Path(word).read_bytes()
            before[at] = f"@in/files/{Path(word).name}"
    progress(f"reclaim: the loop on {bench.name} until the store refuses a write")
    loop = bench.executor.run(bench.seam_argv("--vars", "@in/store.fd", *before, "--", "/t",
                                              bench.name),
                              {"store.fd": image, **files}, ["store.fd"], "the reclaim's fill",
                              stdout=True)
    if loop["status"] != 0 or b"set failed at count" not in loop["stdout"]:
        raise BenchError(f"reclaim: the loop did not end with a refused write "
                         f"({loop['status']})" + said(loop))
    full = loop["outputs"]["store.fd"]
    (bench.work / "reclaim-fill.fd").write_bytes(full)
    return full


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
