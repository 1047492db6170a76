"""The harness, step by step: the options and their mistakes, the host's packages, the guest, the
tool, the VM (restored from a saved one, or booted cold), the files, the commands, their results.
round_trips() gives the benches a booted VM's agent without a command line."""

import hashlib
import os
import sys
import tempfile
import time
import traceback
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Iterator, List, Optional

from . import firmware as firmwares
from . import flashlog
from . import guest as guests
from . import options as command_line
from . import paths
from . import provision
from . import qemu
from . import qemuimg
from . import saved as saves
from . import shell
from .commands import commands_of, run_all
from .errors import FAILED, Failure, Stopped
from .options import Options
from .quiet import note
from .run import Run
from .signals import catch_signals, check_signals


def entry() -> None:
    """The command's entry point: scripts/uefi-vm, python3 -m uefi_vm, kestomandrel-vm."""
    sys.exit(main(sys.argv[1:]))


def main(argv: List[str]) -> int:
    try:
        return run(argv)
    except Failure as failure:
        if failure.console:
            sys.stderr.write(f"uefi-vm: the last lines of the VM's console:\n{failure.console}\n")
        sys.stderr.write(f"uefi-vm: {failure}\n")
        return FAILED
    except Stopped as stopped:
        if str(stopped):
            sys.stderr.write(f"uefi-vm: {stopped}\n")
        return stopped.status
    except Exception:  # a fault of the harness: still its own failure, with the trace to mend it
        traceback.print_exc()
        return FAILED


def run(argv: List[str]) -> int:
    options = command_line.parse(argv)
    if options.list_firmware:
        sys.stdout.write("".join(f"{line}\n" for line in firmwares.listing()))
        return 0
    if options.show_firmware:
        # With --install, a firmware not there yet is installed or fetched first, as for a run.
        chosen, _ = provision.chosen_firmware(options.firmware, options.code, options.factory,
                                              options.install)
        sys.stdout.write("".join(f"{line}\n" for line in firmwares.shown(chosen)))
        return 0
    command_line.check_request(options)
    chosen, options.install = provision.chosen_firmware(options.firmware, options.code,
                                                        options.factory, options.install)
    command_line.check(options, chosen.name, chosen.machine_name, chosen.factory is not None)
    catch_signals()
    if options.shell:
        return shell.run(options, chosen, options.install)
    with booted(options, chosen) as this:
        status = run_all(this)
        this.vm.quit()
        return status


def entry_name(chosen: firmwares.Firmware) -> str:
    """The saved VM's directory for a firmware: its name, or for a descriptor file or files given
    in place of its own, their stem and a digest of their paths (their contents are in the key)."""
    if "/" not in chosen.name and not chosen.given_code and not chosen.given_factory:
        return chosen.name
    named = "\0".join([chosen.name, chosen.given_code or "", chosen.given_factory or ""])
    stem = Path(chosen.name).stem
    return f"{stem}-{hashlib.sha256(named.encode()).hexdigest()[:12]}"


def saved_entry(plan: qemu.Plan, initrd: bytes) -> saves.Entry:
    """The saved VM a run of PLAN restores, or makes: known by everything the VM is made of."""
    chosen = plan.firmware
    template = [arg.replace(str(plan.work), "WORK") for arg in qemu.command(plan)]
    files = [Path(chosen.code), plan.kernel] + ([Path(chosen.factory)] if chosen.factory else [])
    state_key = saves.key(chosen.machine.qemu, template, files, initrd)
    accel = "kvm" if plan.kvm else "tcg"
    return saves.Entry(paths.cache() / "saved", f"{entry_name(chosen)}-{plan.cpus}cpu-{accel}",
                       state_key)


def prepare_kept(options: Options, chosen: firmwares.Firmware) -> None:
    if options.kept is None:
        return
    if not options.kept.exists():
        # A kept store is a raw file, whatever the factory store's format.
        qemuimg.raw_copy(chosen, options.kept)
    if not os.access(options.kept, os.W_OK):
        raise Failure(f"cannot write the variable store {options.kept}")


@contextmanager
def booted(options: Options, chosen: firmwares.Firmware) -> Iterator[Run]:
    """Everything up to a guest that has the tool and the files and waits for its commands."""
    provision.packages(chosen, options.install, options.kernel, options.tool is not None)
    guest = guests.locate(chosen, options.kernel)
    tool = provision.tool(chosen, options.tool, options.install)
    check_signals()
    commands = commands_of(options) if options.args is not None or options.batch else []
    prepare_kept(options, chosen)
    if options.kvm and not os.access("/dev/kvm", os.W_OK):
        raise Failure("--kvm: /dev/kvm is missing or not writable")
    with ExitStack() as stack:
        work = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="uefi-vm.")))
        initrd_bytes = guests.initramfs(guest, chosen, paths.AGENT)
        (work / "initrd").write_bytes(initrd_bytes)
        if options.kept is not None:
            store, store_format = options.kept.resolve(), "raw"
        else:
            store, store_format = work / "vars.qcow2", "qcow2"
        plan = qemu.Plan(chosen, work, guest.kernel, work / "initrd", store, store_format,
                         options.cpus, options.kvm, options.flash_log is not None)
        this = Run(plan, options, commands)
        stack.callback(finish, this, options)
        try:
            entry = None
            if options.kept is None and not options.cold and options.flash_log is None:
                entry = saved_entry(plan, initrd_bytes)
            this.boot(entry)
            check_signals()
            this.send_file(tool.read_bytes(), "0755", "/bin/kestomandrel")
            for path in options.files:
                this.send_file(path.read_bytes(), "0644", f"/work/{path.name}")
            check_signals()
            yield this
        except Failure as failure:
            if this.vm is not None and failure.console is None:
                failure.console = this.vm.console.tail()
            raise


def finish(this: Run, options: Options) -> None:
    """After the run: the console and the debug output kept, the VM stopped, the flash's trace
    made a log."""
    for kept, made in ((options.console, this.plan.console),
                       (options.debug_log, this.plan.debug)):
        if kept is not None:
            try:
                kept.write_bytes(made.read_bytes())
            except OSError:
                pass
    this.stop_vm()
    if options.flash_log is not None and this.plan.trace.exists():
        try:
            flashlog.convert(this.plan.trace, options.flash_log, this.marks)
        except OSError as error:
            note(f"could not write the flash log {options.flash_log}: {error}")


def round_trips(chosen: firmwares.Firmware, count: int, tool: Optional[Path] = None,
                cpus: int = 1) -> List[float]:
    """The milliseconds each of COUNT lines takes through the agent of a VM on CHOSEN and back,
    over the same ports as the tool's output; the VM booted, or restored, as a run would."""
    options = Options(firmware=chosen.name, code=chosen.given_code, factory=chosen.given_factory,
                      tool=tool, cpus=cpus, args=[])
    trips = []
    with booted(options, chosen) as this:
        for _ in range(count):
            started = time.monotonic()
            this.ping()
            trips.append((time.monotonic() - started) * 1000)
        this.vm.quit()
    return trips
