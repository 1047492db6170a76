#!/usr/bin/python3
"""Measures scripts/uefi-vm side by side, per firmware: the time of `-- /g BootOrder` booted cold
(--cold) and restored from the saved VM (warm), alternating, and how long a write in the guest takes
to reach the host (the round trip of a line through the guest's agent, over the same virtio-serial
ports as the tool's output). Prints the figures; judges none.

    bench/uefi-vm-times [--rounds N] [--pings N] [--firmware F [--code FILE] [--factory FILE]]
                        [FIRMWARE...]        (default: the five short names, 3 rounds)

Each FIRMWARE, and --firmware with its --code and --factory, is named as scripts/uefi-vm takes it.
Needs what scripts/uefi-vm needs (run it once with --install); from a checkout, the tools are built
with the presets linux-static and linux-aarch64-static.

Exit status: 0 measured; 125 a run failed, or the command line is wrong (the reason is on standard
error)."""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import List, Optional

from .. import firmware as firmwares
from .. import main as harness
from .. import paths, provision
from ..errors import FAILED, Failure


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:
        self.print_usage(sys.stderr)
        raise Failure(message)


def timed_run(chosen: firmwares.Firmware, tool: Path, *options: str) -> float:
    command = [*paths.harness(), *chosen.options(), "--tool", str(tool), *options,
               "--", "/g", "BootOrder"]
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True)
    elapsed = time.monotonic() - start
    if done.returncode != 0 or b"Variable Name : BootOrder" not in done.stdout:
        raise Failure(f"{' '.join(command)} failed ({done.returncode}): "
                      f"{done.stderr.decode(errors='replace')}")
    return elapsed


def arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = Parser(prog=paths.program("bench/uefi-vm-times", "kestomandrel-vm-times"),
                    description=__doc__.split("\n\n")[0],
                    epilog="Exit status: 0 measured; 125 a run failed, or the command line is "
                           "wrong.")
    parser.add_argument("--rounds", type=int, default=3, help="cold and warm runs each (3)")
    parser.add_argument("--pings", type=int, default=200, help="round trips measured (200)")
    firmwares.add_arguments(parser, default=None)
    parser.add_argument("names", nargs="*", metavar="FIRMWARE",
                        help="firmwares named as --firmware names them")
    given = parser.parse_args(argv)
    if given.rounds < 1 or given.pings < 1:
        parser.error("--rounds and --pings count from 1")
    return given


def chosen_firmwares(given: argparse.Namespace) -> List[firmwares.Firmware]:
    named = [(name, None, None) for name in given.names]
    if given.firmware or given.code or given.factory:
        named.append((given.firmware or "ovmf", given.code, given.factory))
    return [firmwares.resolve(*each) for each in named
            or [(name, None, None) for name, _ in firmwares.TABLE]]


def measured(firmware: firmwares.Firmware, rounds: int, pings: int) -> str:
    tool = provision.tool(firmware)
    timed_run(firmware, tool)  # makes the saved VM, when there is none yet
    cold, warm = [], []
    for _ in range(rounds):
        cold.append(timed_run(firmware, tool, "--cold"))
        warm.append(timed_run(firmware, tool))
    trips = sorted(harness.round_trips(firmware, pings, tool))
    p99 = trips[min(len(trips) - 1, int(len(trips) * 0.99))]
    c, w = statistics.median(cold), statistics.median(warm)
    return (f"| {firmware.label} | {c:.2f} s | {w:.2f} s | {w / c:.2f} | "
            f"{statistics.median(trips):.2f} ms, {p99:.2f} ms |")


def main(argv: Optional[List[str]] = None) -> int:
    try:
        given = arguments(argv)
        chosen = chosen_firmwares(given)
        print("| firmware | cold /g BootOrder | warm /g BootOrder | warm/cold | guest write to "
              "host, round trip (median, p99) |")
        print("|---|---|---|---|---|")
        for firmware in chosen:
            print(measured(firmware, given.rounds, given.pings), flush=True)
    except Failure as failure:
        print(f"uefi-vm-times: {failure}", file=sys.stderr)
        return FAILED
    return 0


def entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry()
