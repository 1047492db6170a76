"""bench/power-cut's command line: the options, the kinds run in turn, the JSON line and the exit
status (see the package's head)."""

import argparse
import json
import random
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from ... import firmware as firmwares
from ... import flashlog, paths
from ...errors import Failure, UsageParser
from . import torn, torn_points, write
from .bench import FAILED, Bench, BenchError, TornPlan, progress
from .cuts import cut_runs
from .first_boot import first_boot
from .outcomes import KEPT
from .plot import KINDS, plot
from .reclaim import reclaim
from . import seam
from .sweep import sweep
from .windows import costs


def arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = UsageParser(name="power-cut",
                         prog=paths.program("bench/power-cut", "kestomandrel-power-cut"),
                         description="Power cuts at every write of the variable store's "
                                     "flash, in the VM (see the script's head for the outcomes "
                                     "and the JSON).",
                         epilog="Exit status: 0 when every point kept the promise, 1 when a point "
                                "broke it twice (a finding about the firmware), 125 when the bench "
                                "itself failed (a usage error included).")
    firmwares.add_arguments(parser)
    parser.add_argument("--name", help="the loop's variable V (SysPrepOrder)")
    parser.add_argument("--sweep", nargs="?", const="every", choices=("every", "fields"),
                        help="every write of one update of V (the default kind), or a sample "
                             "that covers every field")
    parser.add_argument("--update", type=int, metavar="N",
                        help="sweep the update that wrote counter N")
    parser.add_argument("--setup", action="append", default=[], metavar="CMD",
                        help="with --write: a tool command line run first, on the factory store "
                             "(repeatable, in order)")
    parser.add_argument("--write", metavar="CMD",
                        help="sweep the writes of this tool command line (/s NAME GUID ...), run "
                             "once after the setup commands, instead of the loop's update; V is "
                             "the variable it sets")
    parser.add_argument("--file", action="append", default=[], type=Path, metavar="PATH",
                        help="a data file the commands name by its base name (repeatable)")
    parser.add_argument("--refine", action="store_true",
                        help="bisect between sampled points whose outcomes differ until they are "
                             "one write apart (--sweep fields, --boot, --reclaim)")
    parser.add_argument("--boot", type=int, metavar="N", help="N points over the first boot")
    parser.add_argument("--reclaim", type=int, metavar="N", help="N points over a reclaim")
    parser.add_argument("--cuts", type=int, metavar="N", help="N loops cut at random moments")
    parser.add_argument("--torn", metavar="MODES",
                        help="cut inside the points' writes too, as NOR flash leaves a program "
                             "or an erase cut short: 'all' or a comma list of some, one, most, "
                             "first, preprog, zeros, rising, part, raise, each with :N for N "
                             "seeded variants (--sweep, --boot, --reclaim)")
    parser.add_argument("--torn-points", type=int, metavar="N",
                        help="tear N of a kind's writes at most, those where the outcome "
                             "changes first")
    parser.add_argument("--seed", type=int,
                        help="the random moments' and the torn bits' seed (default: the time)")
    parser.add_argument("--at-windows", type=Path, metavar="A.json",
                        help="also boot the first, middle and last point of each window where "
                             "that earlier run broke the promise, in the same kinds: a fixed "
                             "build booted where the other one broke")
    parser.add_argument("--keep", type=Path, metavar="DIR", help="keep every rebuilt store here")
    parser.add_argument("--jobs", type=int, metavar="N",
                        help="VMs at a time (1; with --scheduler, the workers' threads)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="boot on the workers of this Dask cluster (tcp://HOST:PORT; "
                             "python3-distributed), as many VMs at a time as they have threads")
    parser.add_argument("--plot", type=Path, metavar="FILE", help="plot the points (PNG)")
    parser.add_argument("--tool", type=Path, help="the statically linked tool to run")
    parser.add_argument("--compare", nargs=2, type=Path, metavar=("A.json", "B.json"),
                        help="compare two runs' JSON lines and run nothing else (status 1 when "
                             "B breaks the promise where A kept it)")
    found = parser.parse_args(argv)
    for option in ("boot", "reclaim", "cuts", "jobs", "torn_points"):
        value = getattr(found, option)
        if value is not None and value < 1:
            parser.error(f"--{option.replace('_', '-')} needs a number of at least 1")
    if not any((found.sweep, found.boot, found.reclaim, found.cuts)):
        found.sweep = "every"
    found.modes = None
    if found.torn is not None:
        if not any((found.sweep, found.boot, found.reclaim)):
            parser.error("--torn tears the writes of --sweep, --boot or --reclaim: give one")
        try:
            found.modes = torn.parse(found.torn)
        except ValueError as bad:
            parser.error(str(bad))
    elif found.torn_points is not None:
        parser.error("--torn-points goes with --torn")
    found.command = None
    if found.write is not None:
        if found.name or found.update is not None:
            parser.error("--write names V itself: give neither --name nor --update with it")
        if not found.sweep or found.cuts:
            parser.error("--write is swept: give it with --sweep, without --cuts")
        try:
            found.command = write.parse(found.setup, found.write, found.file)
        except ValueError as bad:
            parser.error(str(bad))
        found.name = found.command.name
    elif found.setup or found.file:
        parser.error("--setup and --file go with --write")
    found.name = found.name or "SysPrepOrder"
    found.at = {}
    if found.at_windows is not None:
        try:
            found.at = broken_points(found.at_windows)
        except (OSError, ValueError) as bad:
            parser.error(f"--at-windows: {bad}")
    return found


def broken_points(path: Path) -> Dict[str, Dict[int, Optional[str]]]:
    """The points of each kind of a run's JSON line (its last line) to boot again: the first,
    the middle and the last k of every window that broke the promise, each end with the write
    it was there (its log line), so that a run whose writes differ can say so."""
    lines = path.read_text().splitlines()
    if not lines:
        raise ValueError(f"{path} is empty")
    run = json.loads(lines[-1])
    if not isinstance(run, dict):
        raise ValueError(f"{path} is not a run's JSON line")
    points: Dict[str, Dict[int, Optional[str]]] = {}
    for kind in ("sweep", "boot", "reclaim"):
        for window in (run.get(kind) or {}).get("windows", []):
            if window["outcome"] not in ("old", "new"):
                first, last = window["first"], window["last"]
                ends = window.get("bounds") or [None, None]
                chosen = points.setdefault(kind, {})
                chosen.setdefault((first + last) // 2, None)
                chosen.update({first: ends[0], last: ends[1]})
    return points


def make_bench(chosen: firmwares.Firmware, options: argparse.Namespace, work: Path,
               seed: int) -> Bench:
    from ... import provision
    tool = provision.tool(chosen, given=options.tool)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    kept = paths.results() / "power-cut" / f"{chosen.name}-{stamp}"
    made = Bench(chosen, chosen.options(), Path(tool).resolve(), options.name, work, options.keep,
                 kept, options.jobs or 1)
    if options.command:
        made.guid = options.command.guid
    if options.modes:
        made.torn = TornPlan(options.modes, seed, options.torn_points)
    made.at = options.at
    if options.scheduler:
        made.executor = connect(options.scheduler, made)
        # As many boots at a time as the workers have threads, unless --jobs says otherwise.
        made.jobs = options.jobs or made.executor.workers()
        progress(f"the boots run on {options.scheduler}: {made.executor.workers()} workers' "
                 f"threads, {made.jobs} boots at a time")
    return made


def connect(address: str, made: Bench) -> "seam.Cluster":
    """The cluster at ADDRESS, the tool and the firmware's files sent to its workers once."""
    chosen = made.firmware
    try:
        import distributed  # noqa: F401 (the cluster's engine: only with --scheduler)
    except ImportError:
        raise BenchError("--scheduler needs Dask's distributed (Debian: python3-distributed)")
    shared = seam.shared_files(made.tool, chosen.code, chosen.factory)
    code = next(name for name in shared if name.startswith("code-"))
    try:
        return seam.Cluster(address, shared, chosen.machine.qemu, code)
    except OSError as failed:
        raise BenchError(f"--scheduler {address}: {failed}") from None


def timed(bench: Bench, kind, *arguments) -> Tuple[Dict, List[Dict]]:
    """One kind run, with its boots and seconds."""
    boots, started = bench.runs, time.monotonic()
    entry, found = kind(bench, *arguments)
    costs(entry, bench.runs - boots, time.monotonic() - started)
    return entry, found


def run_kinds(bench: Bench, options: argparse.Namespace, seed: int, result: Dict,
              reproducers: List[Dict]) -> None:
    """Runs each kind asked for, in turn, into RESULT and REPRODUCERS."""
    if options.sweep:
        result["sweep"], found = timed(bench, sweep, options.sweep == "every", options.update,
                                       options.command, options.refine)
        reproducers += found
    if options.boot:
        result["boot"], found = timed(bench, first_boot, options.boot, options.refine)
        reproducers += found
    if options.reclaim:
        result["reclaim"], found = timed(bench, reclaim, options.reclaim, options.refine)
        reproducers += found
    if options.cuts:
        boots, started = bench.runs, time.monotonic()
        result["cuts"], found = cut_runs(bench, options.cuts, random.Random(seed))
        # The cuts are a list of their own, so their cost sits beside it.
        result.update(cuts_boots=bench.runs - boots,
                      cuts_seconds=round(time.monotonic() - started, 1))
        reproducers += found


def finish(result: Dict, reproducers: List[Dict], options: argparse.Namespace) -> int:
    """The counts of broken points, the plot, the reproducers and the JSON line; the status."""
    every = [point for kind in KINDS for point in
             result.get(kind, {}).get("points", [])
             + torn_points.broken(result.get(kind, {}).get("torn", []))] + result.get("cuts", [])
    broken = [point for point in every if point["outcome"] not in KEPT]
    result["failed"] = sum(1 for point in broken if point.get("again") not in KEPT)
    result["unconfirmed"] = len(broken) - result["failed"]
    result["reproducers"] = reproducers
    if options.plot:
        plot(result, options.plot)
    for found in reproducers:
        torn_cut = f" torn {found['torn']}" if "torn" in found else ""
        progress(f"broke the promise: {found['kind']} k={found['k']}{torn_cut} "
                 f"({found['write']}): {found['command']}")
    print(json.dumps(result))
    return 1 if result["failed"] else 0


def main(argv: Optional[List[str]] = None) -> int:
    options = arguments(argv)
    if options.compare:
        from .compare import compare_files
        return compare_files(*options.compare)
    seed = options.seed if options.seed is not None else int(time.time())
    reproducers: List[Dict] = []
    result: Dict = {}
    try:
        chosen = firmwares.resolve(options.firmware, options.code, options.factory)
        if chosen.factory is None:
            raise BenchError(f"{chosen.label} has no variable store on flash")
        result.update(firmware=chosen.name, code=chosen.given_code, factory=chosen.given_factory,
                      variable=options.name, seed=seed)
        with tempfile.TemporaryDirectory(prefix="power-cut.") as work:
            made = make_bench(chosen, options, Path(work), seed)
            try:
                run_kinds(made, options, seed, result, reproducers)
            finally:
                made.executor.close()
    except (BenchError, Failure, flashlog.BadLog, seam.PointKilledWorkers,
            seam.Mismatch) as failure:
        print(f"power-cut: {failure}", file=sys.stderr)
        if result:
            # What the kinds before the failure found is worth keeping.
            result.update(error=str(failure), reproducers=reproducers)
            print(json.dumps(result))
        return FAILED
    except KeyboardInterrupt:
        print("power-cut: interrupted", file=sys.stderr)
        return 130
    return finish(result, reproducers, options)


def entry() -> None:
    sys.exit(main())
