"""--cuts N: runs of the loop on a booted store, each cut (scripts/uefi-vm --cut-after) at a random
moment, then a boot: V must hold the last counter the loop printed, or the next one."""

import random
import shutil
from concurrent.futures import ThreadPoolExecutor
from functools import partial
from typing import Dict, List, Optional, Tuple

from ... import text, toolout
from ...errors import CUT
from .bench import Bench, BenchError, factory, progress, said
from .boots import Control, boot, control
from .outcomes import judged, settle

CUT_WINDOW = (0.5, 4.0)  # seconds after the tool started


def expected(last: Optional[int]) -> Tuple[Optional[str], str]:
    """V's old and new values after a cut: the last counter the loop printed, and the next."""
    old = text.hex_text(last.to_bytes(4, "little")) if last is not None else None
    new = text.hex_text(((last + 1 if last is not None else 0) & 0xFFFFFFFF).to_bytes(4, "little"))
    return old, new


def one_cut(bench: Bench, ctrl: Control, reproducers: List[Dict], count: int, number: int,
            after: float) -> Dict:
    image = bench.work / f"cut-{number:03d}.fd"
    shutil.copyfile(ctrl.after, image)
    loop = bench.executor.run(bench.seam_argv("--vars", "@in/store.fd", "--cut-after",
                                              str(after), "--", "/t", bench.name),
                              {"store.fd": image.read_bytes()}, ["store.fd"],
                              f"the loop cut after {after} s", stdout=True)
    if loop["status"] != CUT:
        raise BenchError(f"cuts: the loop cut after {after} s ended with {loop['status']}, "
                         f"not {CUT}" + said(loop))
    image.write_bytes(loop["outputs"]["store.fd"])
    last = toolout.last_counter(loop["stdout"])
    old, new = expected(last)
    pristine = image.with_suffix(".cut")
    shutil.copyfile(image, pristine)
    judge = judged(ctrl.second, ctrl.varies, bench.key, old, new)
    result = boot(bench, image, ctrl.timeout)
    outcome, collateral = judge(result)
    entry = {"after": after, "after_count": last, "read": result.read, "outcome": outcome,
             "collateral": collateral}
    if result.brick:
        entry["brick"] = result.brick
    if result.where is not None:
        entry["where"] = result.where
    settle(bench, entry, pristine, "cuts", number, f"cut after {after} s", judge,
           ctrl.timeout, reproducers)
    pristine.unlink()
    image.unlink()
    progress(f"cuts: {number}/{count}, cut {after} s after the loop started, its last "
             f"counter printed {last}: {outcome}")
    return entry


def cut_runs(bench: Bench, count: int, rng: random.Random) -> Tuple[List[Dict], List[Dict]]:
    ctrl = control(bench, factory(bench), "cuts")
    reproducers: List[Dict] = []
    moments = [round(rng.uniform(*CUT_WINDOW), 2) for _ in range(count)]
    with ThreadPoolExecutor(bench.jobs) as pool:
        runs = list(pool.map(partial(one_cut, bench, ctrl, reproducers, count),
                             range(1, count + 1), moments))
    return runs, reproducers
