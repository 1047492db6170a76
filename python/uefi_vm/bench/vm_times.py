#!/usr/bin/python3
"""Measures scripts/uefi-vm side by side, per firmware: the time of `-- /g BootOrder` booted cold
(--cold) and restored from the saved VM (warm), alternating, and how long a write in the guest takes
to reach the host (the round trip of a line through the guest's agent, over the same virtio-serial
ports as the tool's output). Prints the figures; judges none.

    bench/uefi-vm-times [--rounds N] [--pings N] [--firmware F [--code FILE] [--factory FILE]]
                        [FIRMWARE...]        (default: the five short names, 3 rounds)

Each FIRMWARE, and --firmware with its --code and --factory, is named as scripts/uefi-vm takes it.
Needs what scripts/uefi-vm needs (run it once with --install) and the tools built with the presets
linux-static and linux-aarch64-static. Exit status: 0 measured, 1 a run failed, 2 usage."""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

from .. import paths
from .. import firmware as firmwares
from .. import main as uefi_vm
from ..errors import Failure

ROOT = paths.checkout()



def tool_of(chosen) -> Path:
    return ROOT / "build" / chosen.machine.preset / "kestomandrel"


def timed_run(chosen, *options: str) -> float:
    command = [*paths.harness(), *chosen.options(), "--tool", str(tool_of(chosen)),
               *options, "--", "/g", "BootOrder"]
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True)
    elapsed = time.monotonic() - start
    if done.returncode != 0 or b"Variable Name : BootOrder" not in done.stdout:
        raise Failure(f"{' '.join(command)} failed ({done.returncode}): "
                      f"{done.stderr.decode(errors='replace')}")
    return elapsed


def round_trips(chosen, pings: int) -> list:
    options = uefi_vm.Options(firmware=chosen.name, code=chosen.given_code,
                              factory=chosen.given_factory, tool=tool_of(chosen), args=[])
    trips = []
    with uefi_vm.booted(options, chosen) as run:
        for _ in range(pings):
            start = time.monotonic()
            run.vm.send(b"PING\n")
            if run.wait_line(10, "the agent did not answer PING") != "PONG":
                raise Failure("the agent answered something else than PONG")
            trips.append((time.monotonic() - start) * 1000)
        run.vm.quit()
    return trips


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3, help="cold and warm runs each (3)")
    parser.add_argument("--pings", type=int, default=200, help="round trips measured (200)")
    firmwares.add_arguments(parser, default=None)
    parser.add_argument("names", nargs="*", metavar="FIRMWARE",
                        help="firmwares named as --firmware names them")
    arguments = parser.parse_args()
    if arguments.rounds < 1 or arguments.pings < 1:
        parser.error("--rounds and --pings count from 1")
    given = [(name, None, None) for name in arguments.names]
    if arguments.firmware or arguments.code or arguments.factory:
        given.append((arguments.firmware or "ovmf", arguments.code, arguments.factory))
    try:
        chosen = [firmwares.resolve(*named) for named in given
                  or [(name, None, None) for name, _ in firmwares.TABLE]]
    except Failure as failure:
        parser.error(str(failure))
    print("| firmware | cold /g BootOrder | warm /g BootOrder | warm/cold | guest write to host, "
          "round trip (median, p99) |")
    print("|---|---|---|---|---|")
    try:
        for firmware in chosen:
            timed_run(firmware)  # makes the saved VM, when there is none yet
            cold, warm = [], []
            for _ in range(arguments.rounds):
                cold.append(timed_run(firmware, "--cold"))
                warm.append(timed_run(firmware))
            trips = sorted(round_trips(firmware, arguments.pings))
            p99 = trips[min(len(trips) - 1, int(len(trips) * 0.99))]
            c, w = statistics.median(cold), statistics.median(warm)
            print(f"| {firmware.label} | {c:.2f} s | {w:.2f} s | {w / c:.2f} | "
                  f"{statistics.median(trips):.2f} ms, {p99:.2f} ms |", flush=True)
    except Failure as failure:
        print(f"uefi-vm-times: {failure}", file=sys.stderr)
        return 1
    return 0


def entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry()
