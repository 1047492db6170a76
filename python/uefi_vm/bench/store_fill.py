#!/usr/bin/python3
"""The write-read loop run to the end of a firmware's variable store, in the VM.

    bench/store-fill [--firmware F [--code FILE] [--factory FILE]] [--name V] [--plot FILE]
                     [--csv FILE] [--prefill KIB] [--resume SECS] [--tool PATH]

On a fresh copy of the firmware's factory store, kept across the VM's boots (scripts/uefi-vm
--vars), runs `kestomandrel /t V` (default SysPrepOrder) through report/kestomandrel-loop-report
until the loop ends by itself. Then it boots again on that store, reads V, and runs the loop for a
few seconds more. Progress goes to standard error; the last line of standard output is one JSON
object:

    firmware, variable   what ran: the firmware's name (a short name, a descriptor's stem or
                         path) and the loop's variable
    code, factory        the files --code and --factory gave in place of the firmware's, or null
    store_bytes          the size of the variable store, as its header in the store file says
    iterations           the loop's iterations written before the refusal
    seconds              from its first iteration to its last
    end                  how it ended: {kind, count, code}, as the report gives it
    kept                 V's bytes after the reboot, hex as the tool prints them
    reboot_seconds       the run that booted on the full store and read V
    resumed              the loop's iterations in the few seconds after the reboot

It also finds out which layer refused the write: it reads the free space left in the store file
(an edk2 variable store) and says on standard error whether the firmware still had room for the
record, so that the kernel's reserve refused it, or not.

--prefill KIB first fills the store with 4000-byte writes until about KIB KiB are left, or a write
is refused, so that the loop reaches the end quickly (the integration tests' check).

--firmware, --code and --factory are scripts/uefi-vm's: any firmware with an edk2 variable store on
flash, Debian's or your own build. Needs what scripts/uefi-vm needs and the tool built
(scripts/uefi-vm builds it).

Exit status: 0 done; 1 a finding: the loop or the reboot did not go as the loop should; 125 the
bench's own failure (scripts/uefi-vm's included, or a firmware refused) or a usage mistake."""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import List, Optional, Sequence

from .. import firmware as firmwares
from .. import paths, text, toolout
from ..errors import FAILED, Failure, UsageParser
from ..store import NotAStore, free_bytes, layout, record_size

VM = paths.harness()
REPORT = paths.loop_report()

VENDOR = "{4B4D5646-0001-4E6F-8000-4B45535443AE}"
PREFILL_SIZE = 4000
KERNEL_RESERVE = 5120  # bytes the x86 kernel keeps free in the store (EFI_MIN_RESERVE)
EPILOG = ("Exit status: 0 done; 1 a finding: the loop or the reboot did not go as the loop "
          "should; 125 the bench's own failure (scripts/uefi-vm's included, or a firmware "
          "refused) or a usage mistake.")

progress = text.progress_printer("store-fill", width=5)


class Failed(Exception):
    """A run did not go as the loop should: a finding, status 1."""


def store_size(image: bytes) -> int:
    """The size of the variable store, its header and records, as its header says."""
    found = layout(image)
    return found.end - found.volume_header


# --- Runs in the VM ------------------------------------------------------------------------------

def vm(firmware: List[str], store: Path, tool: Optional[Path], *arguments: str
       ) -> subprocess.Popen:
    """scripts/uefi-vm on FIRMWARE (its options) and the kept STORE, running TOOL when given."""
    given = ["--tool", str(tool)] if tool is not None else []
    command = [*VM, *firmware, "--vars", str(store), *given, *arguments]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=sys.stderr)


def ended(what: str, status: int, expected: int = 0) -> None:
    """A run of scripts/uefi-vm that ended with STATUS: its own failure (125) is the bench's; any
    other status but EXPECTED is a run that did not go as the loop should."""
    if status == FAILED:
        raise Failure(f"scripts/uefi-vm failed ({status}) running {what}")
    if status != expected:
        raise Failed(f"{what} ended with {status}, not {expected}")


def vm_output(firmware: List[str], store: Path, tool: Optional[Path], *arguments: str) -> bytes:
    run = vm(firmware, store, tool, *arguments)
    output, _ = run.communicate()
    ended(f"scripts/uefi-vm {' '.join(arguments)}", run.returncode)
    return output


def loop_through_report(firmware: List[str], store: Path, tool: Optional[Path], name: str,
                        json_path: Path, extra: Sequence[str] = (),
                        stop_after: Optional[int] = None, before: Sequence[str] = ()) -> dict:
    """`/t NAME` in the VM, its output read live by the report; the report's JSON. EXTRA are the
    report's options, BEFORE scripts/uefi-vm's."""
    options = ["--stop-after", str(stop_after)] if stop_after else []
    loop = vm(firmware, store, tool, *options, *before, "--", "/t", name)
    report = subprocess.Popen([str(REPORT), "--json", str(json_path), *extra], stdin=loop.stdout,
                              stdout=sys.stderr)
    loop.stdout.close()
    loop_status, report_status = loop.wait(), report.wait()
    ended("the loop's run", loop_status, 130 if stop_after else 0)
    if report_status != 0:
        raise Failed(f"the report found the loop's output wrong (status {report_status})")
    return json.loads(json_path.read_text())


def hex_bytes(get_output: bytes) -> str:
    """The bytes a /g output shows in its hex view, as the tool prints them: "48 0A 00 00", or ""
    when it shows none."""
    return toolout.hex_view(get_output.decode("latin-1")) or ""


def prefill(firmware: List[str], store: Path, work: Path, kib: int,
            tool: Optional[Path] = None) -> list:
    """scripts/uefi-vm options that fill the store, before the loop and in the same boot, until
    about KIB KiB are left: one variable written again and again with 4000 bytes, then deleted.
    Every write leaves a record that only a reclaim gives back, and edk2 reclaims when it boots on
    a store with little room: so the loop must run in the boot that filled it."""
    progress("a first boot, to see how much room the store has")
    vm_output(firmware, store, tool, "--", "/g", "BootOrder")
    return prefill_options(store.read_bytes(), work, kib)


def prefill_options(image: bytes, work: Path, kib: int) -> list:
    """prefill's options for the store IMAGE after its first boot (its data files in WORK)."""
    count = max(0, (free_bytes(image) - kib * 1024) // record_size(image, "KmFill",
                                                                     PREFILL_SIZE))
    progress(f"{free_bytes(image)} bytes free: the loop's boot first writes {PREFILL_SIZE} bytes "
             f"{count} times")
    # Two values in turn: edk2 does not write a value the variable already holds.
    files = []
    for number in (0, 1):
        data = work / f"fill{number}.bin"
        data.write_bytes(bytes((i + number) % 251 for i in range(PREFILL_SIZE)))
        files += ["--file", str(data)]
    # A refused write ends the filling: a firmware may keep more room back than the store's free
    # bytes show (Secure Boot OVMF does).
    written = "| grep -q 'Set successfully'"
    line = (f"i=0; while [ $i -lt {count} ]; do kestomandrel /s KmFill '{VENDOR}' "
            f"/f fill$((i % 2)).bin {written} || break; i=$((i + 1)); done; "
            f"kestomandrel /s KmFill '{VENDOR}' 0 {written} || [ $i -eq 0 ] || exit 1")
    return files + ["--before", line]


def refusal_layer(store: Path, name: str, arch: str) -> str:
    image = store.read_bytes()
    free, record = free_bytes(image), record_size(image, name, 4)
    if free >= record:
        layer = ("the kernel: the firmware still had room for it; x86 kernels refuse writes that "
                 f"would leave less than {KERNEL_RESERVE} bytes free"
                 if arch == "x86_64" else "not the firmware, though it had no room")
    else:
        layer = "the firmware: it had no room left for the record"
    return f"at the refusal the store had {free} bytes free, a record of {name} takes {record}: " \
           f"refused by {layer}"


# --- The command line -----------------------------------------------------------------------------

def arguments(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = UsageParser(
        name="store-fill",
        prog=paths.program("bench/store-fill", "kestomandrel-store-fill"),
        description="The write-read loop run to the end of a firmware's variable store, in the "
                    "VM; the last line of standard output is a JSON object (see the script's "
                    "head).", epilog=EPILOG)
    firmwares.add_arguments(parser)
    parser.add_argument("--name", default="SysPrepOrder",
                        help="the loop's variable (default SysPrepOrder, which edk2 keeps across "
                             "a reboot)")
    parser.add_argument("--plot", type=Path, help="the report's plot of the loop to the end")
    parser.add_argument("--csv", type=Path, help="the report's rows of the loop to the end")
    parser.add_argument("--prefill", type=int, metavar="KIB",
                        help="first fill the store until about KIB KiB are left")
    parser.add_argument("--resume", type=int, default=5, metavar="SECS",
                        help="how long the loop runs after the reboot (default 5)")
    parser.add_argument("--tool", type=Path,
                        help="the statically linked tool, rather than scripts/uefi-vm's build")
    found = parser.parse_args(argv)
    if found.tool is not None:
        found.tool = found.tool.resolve()
    try:
        found.chosen = firmwares.resolve(found.firmware, found.code, found.factory)
    except Failure as failure:
        parser.error(str(failure))
    if found.chosen.factory is None:
        parser.error(f"{found.chosen.name} keeps no variable store to fill")
    return found


def fill(options: argparse.Namespace, work: Path) -> dict:
    """The loop to the end of a fresh store, the reboot, the loop again: the JSON's figures."""
    chosen, name, tool = options.chosen, options.name, options.tool
    firmware = chosen.options()
    store = work / "store.fd"
    before = []
    if options.prefill is not None:
        before = prefill(firmware, store, work, options.prefill, tool)
    progress(f"/t {name} on {chosen.label} until the store refuses a write")
    extra = []
    for option, path in (("--plot", options.plot), ("--csv", options.csv)):
        if path is not None:
            extra += [option, str(path)]
    filled = loop_through_report(firmware, store, tool, name, work / "fill.json", extra,
                                 before=before)
    if filled["end"]["kind"] == "interrupted":
        raise Failed("the loop's output ended before the loop did")
    progress(refusal_layer(store, name, chosen.machine_name))
    store_bytes = store_size(store.read_bytes())

    progress(f"booting again on the full store and reading {name}")
    start = time.monotonic()
    kept = hex_bytes(vm_output(firmware, store, tool, "--", "/g", name))
    reboot_seconds = time.monotonic() - start
    progress(f"{name} holds {kept or 'nothing'} after {reboot_seconds:.1f} s")

    progress(f"the loop for {options.resume} s after the reboot")
    resumed = loop_through_report(firmware, store, tool, name, work / "resume.json",
                                  stop_after=options.resume)
    return {"firmware": chosen.name, "code": chosen.given_code, "factory": chosen.given_factory,
            "store_bytes": store_bytes, "variable": name, "iterations": filled["iterations"],
            "seconds": filled["seconds"], "end": filled["end"], "kept": kept,
            "reboot_seconds": round(reboot_seconds, 2), "resumed": resumed["iterations"]}


def main(argv: Optional[List[str]] = None) -> int:
    options = arguments(argv)
    with tempfile.TemporaryDirectory(prefix="store-fill.") as work:
        try:
            result = fill(options, Path(work))
        except Failed as failure:
            print(f"store-fill: {failure}", file=sys.stderr)
            return 1
        except (Failure, NotAStore) as failure:
            print(f"store-fill: {failure}", file=sys.stderr)
            return FAILED
    print(json.dumps(result))
    return 0


def entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry()
