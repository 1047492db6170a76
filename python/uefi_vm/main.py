"""scripts/uefi-vm, step by step: the options, the host's packages, the guest, the tool, the VM
(restored from a saved one, or booted cold), the files, the commands, their results."""

import argparse
import hashlib
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

from . import firmware as firmwares
from . import paths
from . import flashlog
from . import guest as guests
from . import saved as saves
from .errors import CUT, FAILED, Failure, Stopped
from .session import (RELAYED, Vm, catch_signals, check_signals, default_on_reader_gone,
                      default_on_signal)

ROOT = paths.checkout()
INIT = paths.AGENT
CACHE = paths.cache() / "saved"
READER_GONE_GRACE = 5  # seconds the tool has to end after its reader went away
# Seconds a booting firmware may go without writing on its console or to its flash before it is
# taken for one that does not start: edk2 writes on the console within about 4 s, U-Boot and
# AArch64 edk2 at once, and OVMF's reclaim of a full store, silent for up to a minute, writes its
# flash all along; a garbage executable does neither.
SILENT_FIRMWARE = 30

USAGE = """\
Usage: scripts/uefi-vm [options] -- ARGS...
       scripts/uefi-vm [options] --batch FILE --out DIR

Runs kestomandrel in a throwaway UEFI virtual machine (QEMU with a UEFI firmware, Debian's or your
own, and a Debian kernel). With "-- ARGS...", runs "kestomandrel ARGS..." once, live: each write of
the tool reaches this script's standard output as it happens (its standard error goes to standard
error), and the exit status is the tool's. Ctrl-C, SIGTERM and SIGHUP go on to the tool in the
VM, which ends as it would on a real machine (status 130, 143, 129); a second one stops the VM at
once. A reader of standard output that goes away ends the run (141). Without --vars every run
starts from the firmware's factory variable store.

The first run on a firmware boots it cold and saves the VM once the guest is ready, in
build/uefi-vm-cache/saved; later runs restore that in about a second. A saved VM is made again when
anything it was made of changes (firmware, kernel, initramfs, QEMU, machine options). Every
firmware can be saved: U-Boot, which has no flash for variables, into a small image of its own.

Options:
  --firmware NAME    the firmware (default ovmf): one of these names,
{firmwares}
                     or a QEMU firmware descriptor: a JSON file (a name with a "/", or a .json
                     file here), or a descriptor's file name or stem in QEMU's search path
                     (/usr/share/qemu/firmware, /etc/qemu/firmware, ~/.config/qemu/firmware;
                     --list-firmware lists them). A descriptor gives the executable and variable
                     store template (raw or qcow2), the architecture (x86_64, i386 or aarch64)
                     and the features: requires-smm gives SMM and a secure flash; secure-boot and
                     enrolled-keys say whether Secure Boot is on, which the suites expect
  --code FILE        the firmware's executable (code flash) in place of the chosen firmware's, on
                     the same machine: e.g. --code build/OVMF_CODE.fd for your own build
  --factory FILE     the factory variable store runs start from, in place of the chosen
                     firmware's (raw, or qcow2)
  --list-firmware    list every firmware found, one a line: its name, architecture, whether its
                     files are there, its features and its description
  --show-firmware    show what --firmware, --code and --factory give, as "key: value" lines
  --vars FILE        keep the firmware's variable store in FILE across runs (made from the
                     factory store when FILE does not exist yet; not for u-boot, which has none);
                     boots cold
  --cold             boot cold, neither restoring nor saving a VM
  --file PATH        copy PATH into the VM's working directory, under its own name (repeatable),
                     e.g. for "/s Name {{GUID}} /f value.bin"
  --before LINE      run LINE, a command for the VM's shell as in --batch, before the tool, its
                     output on standard error (repeatable); one that fails ends the run (125)
  --stop-after SECS  interrupt the tool (SIGINT, like Ctrl-C) SECS seconds after it started: for the
                     endless /t loop; the exit status is then 130
  --cut-after SECS   cut the power SECS seconds (decimals allowed) after the tool started: QEMU is
                     killed without warning (SIGKILL), what the tool had written by then is passed
                     on, and the exit status is 137; with --vars the store keeps exactly what the
                     firmware had written to its flash
  --flash-log FILE   log every write and erase of the variable store's flash, in order, to FILE
                     (text: "W OFFSET BYTES" and "E OFFSET LENGTH" lines in hex, "# ready" where the
                     boot ended; see scripts/lib/uefi_vm/flashlog.py); replayed onto the store the
                     run began with (--vars FILE as it was, or the factory store), any prefix of it
                     gives the store as a power cut at that write leaves it; boots cold
  --batch FILE       run every line of FILE in one boot: each line is a command for the VM's shell
                     (busybox sh), where "kestomandrel" is the tool and "as-user CMD..." runs CMD
                     as an unprivileged user; empty lines and lines starting with # are skipped
  --out DIR          with --batch: the N-th command's output goes to DIR/N.out, its standard error
                     to DIR/N.err and its exit status to DIR/N.status (N from 1)
  --timeout SECS     give up when the guest is not ready SECS seconds after QEMU started, or when a
                     command has neither written nor ended for SECS seconds (default 240)
  --silence SECS     give up on a firmware that has written nothing on its console, nor to its
                     flash, for SECS seconds (default {silent}; 0: wait for --timeout)
  --cpus N           give the VM N virtual CPUs (default 1)
  --kvm              use KVM instead of software emulation (x86_64 firmwares; not on every machine)
  --tool PATH        run this statically linked kestomandrel instead of building one with the
                     CMake preset linux-static (linux-aarch64-static for aavmf and u-boot)
  --kernel PATH      boot this kernel instead of the newest /boot/vmlinuz-* (for aavmf and u-boot:
                     the arm64 kernel fetched into build/uefi-vm-cache)
  --console FILE     keep the VM's console log (firmware and kernel messages) in FILE
  --install          install the missing packages the firmware needs with apt-get (as root, on
                     Debian): qemu-system-x86 or qemu-system-arm, qemu-utils, the firmware's package
                     (ovmf, ovmf-ia32, qemu-efi-aarch64, u-boot-qemu and u-boot-tools),
                     busybox-static, kmod, a kernel (linux-image-cloud-amd64) and for AArch64 the
                     cross compiler g++-aarch64-linux-gnu and the arm64 architecture in dpkg
  -h, --help         show this text

The AArch64 guest's kernel and busybox are Debian's arm64 packages, downloaded with apt-get and
unpacked (never installed) into build/uefi-vm-cache/arm64.

A firmware that does not start is refused: one that has written nothing on its console, nor to its
flash for --silence seconds, that reports a CPU exception, or whose VM resets before the guest is
ready.

Exit status: the tool's; 125 when this script or the VM failed (the reason is on standard error);
137 when --cut-after cut the power;
128 + the signal's number when a signal, or a reader of standard output that went away (141),
ended the run before the tool had started.
"""


def usage() -> str:
    lines = [f"                       {name:<12} {summary}" for name, summary in firmwares.TABLE]
    return USAGE.format(firmwares="\n".join(lines), silent=SILENT_FIRMWARE)


@dataclass
class Options:
    firmware: str = "ovmf"
    vars: Optional[Path] = None
    cold: bool = False
    files: List[Path] = field(default_factory=list)
    stop_after: Optional[int] = None
    cut_after: Optional[float] = None
    flash_log: Optional[Path] = None
    batch: Optional[Path] = None
    out: Optional[Path] = None
    timeout: int = 240
    silence: int = SILENT_FIRMWARE
    cpus: int = 1
    kvm: bool = False
    tool: Optional[Path] = None
    kernel: Optional[str] = None
    console: Optional[Path] = None
    install: bool = False
    before: List[str] = field(default_factory=list)  # shell lines run before the tool
    args: Optional[List[str]] = None  # the tool's arguments, after "--"
    code: Optional[str] = None  # --code: the firmware's executable in place of its own
    factory: Optional[str] = None  # --factory: its factory variable store in place of its own
    list_firmware: bool = False
    show_firmware: bool = False


class Parser(argparse.ArgumentParser):
    """argparse's parsing with this script's usage text, and its mistakes as this script's own
    failures (status 125)."""

    def error(self, message: str) -> None:
        sys.stderr.write(self.format_usage())
        raise Failure(message)


def seconds(value: str) -> int:
    if not value.isdigit():
        raise argparse.ArgumentTypeError(f"not a number of seconds: {value}")
    return int(value)


def moment(value: str) -> float:
    try:
        number = float(value)
    except ValueError:
        number = -1.0
    if not 0 < number < 1e6:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {value}")
    return number


def cpus(value: str) -> int:
    if not value.isdigit() or int(value) < 1:
        raise argparse.ArgumentTypeError(f"not a number of CPUs: {value}")
    return int(value)


def one_line(value: str) -> str:
    if "\n" in value:
        raise argparse.ArgumentTypeError("a line break cannot be passed to the VM")
    return value


def parser() -> argparse.ArgumentParser:
    """The options, as USAGE describes them; each one fills the field of Options of its name."""
    options = Parser(prog="scripts/uefi-vm", usage="%(prog)s [options] -- ARGS...\n"
                     "       %(prog)s [options] --batch FILE --out DIR", add_help=False,
                     allow_abbrev=False)
    firmwares.add_arguments(options)
    options.add_argument("--list-firmware", action="store_true")
    options.add_argument("--show-firmware", action="store_true")
    options.add_argument("--vars", type=Path)
    options.add_argument("--cold", action="store_true")
    options.add_argument("--file", dest="files", type=Path, action="append", default=[])
    options.add_argument("--before", type=one_line, action="append", default=[])
    options.add_argument("--stop-after", type=seconds)
    options.add_argument("--cut-after", type=moment)
    options.add_argument("--flash-log", type=Path)
    options.add_argument("--batch", type=Path)
    options.add_argument("--out", type=Path)
    options.add_argument("--timeout", type=seconds, default=Options.timeout)
    options.add_argument("--silence", type=seconds, default=Options.silence)
    options.add_argument("--cpus", type=cpus, default=Options.cpus)
    options.add_argument("--kvm", action="store_true")
    options.add_argument("--tool", type=Path)
    options.add_argument("--kernel")
    options.add_argument("--console", type=Path)
    options.add_argument("--install", action="store_true")
    options.add_argument("-h", "--help", action="store_true")
    return options


def parse(argv: List[str]) -> Options:
    """Everything after the first "--" is the tool's."""
    args = None
    if "--" in argv:
        at = argv.index("--")
        argv, args = argv[:at], argv[at + 1:]
    given = parser().parse_args(argv)
    if given.help:
        sys.stdout.write(usage())
        raise Stopped(0)
    del given.help
    return Options(**vars(given), args=args)


def fail_usage(message: str) -> None:
    sys.stderr.write(usage())
    raise Failure(message)


def check_request(options: Options) -> None:
    """The mistakes that need no firmware to be found."""
    if options.list_firmware or options.show_firmware:
        return
    if options.batch is not None:
        if options.args is not None:
            raise Failure("give either --batch or -- ARGS, not both")
        if options.out is None:
            raise Failure("--batch needs --out DIR")
        if options.stop_after is not None:
            raise Failure("--stop-after is for a single command; in a batch use "
                          "'timeout -s INT SECS ...'")
        if options.cut_after is not None:
            raise Failure("--cut-after is for a single command")
        if options.before:
            raise Failure("--before is for a single command; in a batch, it is a line of its own")
        if not os.access(options.batch, os.R_OK):
            raise Failure(f"cannot read the batch file {options.batch}")
    elif options.args is None:
        fail_usage("nothing to run: give -- ARGS... or --batch FILE")
    for path in options.files:
        if not path.is_file() or not os.access(path, os.R_OK):
            raise Failure(f"cannot read the file {path}")
    if options.args is not None and any("\n" in arg for arg in options.args):
        raise Failure("an argument with a line break cannot be passed to the VM")


def choose(options: Options) -> firmwares.Firmware:
    """The firmware the options name. A short name whose package is not installed yet has no
    descriptor to read: its package is installed first, as --install or the prompt allow."""
    try:
        return firmwares.resolve(options.firmware, options.code, options.factory)
    except Failure:
        absent = [package for package in firmwares.packages_of(options.firmware)
                  if not installed(package)]
        if not absent or options.list_firmware or options.show_firmware:
            raise
    provide(absent, options, options.firmware)
    return firmwares.resolve(options.firmware, options.code, options.factory)


def check(options: Options, chosen: firmwares.Firmware) -> None:
    """The mistakes of these options on this firmware."""
    if options.vars is not None and chosen.vars is None:
        raise Failure(f"--vars: {chosen.name} keeps no variable store that the system could "
                      "change")
    if options.flash_log is not None and chosen.vars is None:
        raise Failure(f"--flash-log: {chosen.name} has no flash for variables")
    if options.kvm and chosen.arch != "x86_64":
        raise Failure(f"--kvm: {chosen.name} needs an AArch64 host for KVM")


# --- What the VM needs from the host ----------------------------------------------------------

def installed(package: str) -> bool:
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            capture_output=True, text=True).stdout
    return "install ok installed" in status


def missing_packages(chosen: firmwares.Firmware, options: Options) -> List[str]:
    wanted = [chosen.machine.qemu_package, "qemu-utils", *chosen.packages, "busybox-static",
              "kmod"]
    absent = [package for package in wanted if not installed(package)]
    if chosen.arch == "x86_64" and options.kernel is None and guests.host_kernel() is None:
        absent.append("linux-image-cloud-amd64")
    if chosen.arch == "aarch64" and options.tool is None and not shutil.which(
            "aarch64-linux-gnu-g++"):
        absent.append("g++-aarch64-linux-gnu")
    return absent


def install_deps(*packages: str) -> None:
    if subprocess.run([str(ROOT / "scripts/install-deps"), *packages], stdout=2).returncode:
        raise Failure(f"could not install {' '.join(packages) or 'the build tools'}")


def provide(absent: List[str], options: Options, name: str) -> None:
    """Installs the ABSENT packages when --install, or the user at the prompt, says so."""
    if not shutil.which("dpkg-query"):
        raise Failure("this script needs Debian's packages (no dpkg-query here)")
    root = os.geteuid() == 0
    if (not options.install and root and sys.stdin.isatty() and sys.stderr.isatty()
            and shutil.which("apt-get")):
        sys.stderr.write(f"uefi-vm: missing packages: {' '.join(absent)}. Install them now "
                         "with apt-get? [y/N] ")
        sys.stderr.flush()
        options.install = sys.stdin.readline().strip().lower().startswith("y")
    if not options.install:
        raise Failure(f"missing packages: {' '.join(absent)} (install them with: sudo "
                      f"scripts/uefi-vm --firmware {name} --install ..., or apt-get "
                      f"install {' '.join(absent)})")
    if not root:
        raise Failure("installing packages needs root: sudo scripts/uefi-vm --install ...")
    guests.note(f"installing {' '.join(absent)}")
    install_deps(*absent)


def provide_packages(chosen: firmwares.Firmware, options: Options) -> None:
    if not shutil.which("dpkg-query"):
        raise Failure("this script needs Debian's packages (no dpkg-query here)")
    absent = missing_packages(chosen, options)
    if absent:
        provide(absent, options, chosen.name)
        still = missing_packages(chosen, options)
        if still:
            raise Failure(f"still missing after installing: {' '.join(still)}")
    if options.install:
        if os.geteuid() != 0:
            raise Failure("installing packages needs root: sudo scripts/uefi-vm --install ...")
        if chosen.arch == "aarch64":
            add_arm64()


def add_arm64() -> None:
    """The AArch64 guest's kernel and busybox come from Debian's arm64 packages, downloaded and
    unpacked under build/: that needs arm64 in dpkg's architectures and its package lists."""
    foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True,
                             text=True).stdout.split()
    if "arm64" not in foreign:
        guests.note("adding the arm64 architecture to dpkg, for the AArch64 guest's packages")
        if subprocess.run(["dpkg", "--add-architecture", "arm64"]).returncode:
            raise Failure("dpkg --add-architecture arm64 failed")
    elif subprocess.run(["apt-cache", "show", "busybox-static:arm64"],
                        capture_output=True).returncode == 0:
        return
    if subprocess.run(["apt-get", "update", "-qq"], stdout=2).returncode:
        raise Failure("apt-get update failed")


def build_tool(chosen: firmwares.Firmware, options: Options) -> Path:
    """The statically linked tool: --tool's, or built with the machine's preset. The build's
    messages go to standard error only when it fails: the output is the tool's alone."""
    if options.tool is not None:
        tool = options.tool
    else:
        if options.install:
            install_deps()
        if not shutil.which("cmake"):
            raise Failure("cmake is missing: run scripts/install-deps as root, or give --install")
        preset = chosen.machine.preset
        steps = [["cmake", "--build", "--preset", preset, "-j", "2"]]
        if not (ROOT / "build" / preset / "CMakeCache.txt").exists():
            guests.note(f"building the tool (CMake preset {preset})")
            steps.insert(0, ["cmake", "--preset", preset])
        for step in steps:
            built = subprocess.run(step, cwd=ROOT, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
            if built.returncode:
                check_signals()
                sys.stderr.buffer.write(built.stdout)
                raise Failure(f"building the static tool (preset {preset}) failed")
        tool = ROOT / "build" / preset / "kestomandrel"
    if not os.access(tool, os.X_OK) or not tool.is_file():
        raise Failure(f"no executable tool at {tool}")
    return tool


# --- The VM ------------------------------------------------------------------------------------

@dataclass
class Plan:
    """What one run of the script asks of the VM."""

    firmware: firmwares.Firmware
    options: Options
    work: Path
    kernel: Path
    initrd: Path
    store: Optional[Path]  # the variable store QEMU writes
    store_format: str
    commands: List[str]

    @property
    def trace(self) -> Path:
        """QEMU's trace of the store's flash, for --flash-log."""
        return self.work / "flash.trace"


def qemu_command(plan: Plan) -> List[str]:
    chosen, options, machine = plan.firmware, plan.options, plan.firmware.machine
    accel = "kvm" if options.kvm else "tcg"
    machine_options = machine.machine + (",smm=on" if chosen.smm else "") + f",accel={accel}"
    command = [machine.qemu, "-machine", machine_options, "-m", str(machine.memory)]
    if options.kvm:
        command += ["-cpu", "host"]
    elif machine.cpu:
        command += ["-cpu", machine.cpu]
    command += ["-smp", str(options.cpus), "-nodefaults", "-no-reboot", "-display", "none",
                "-serial", f"file:{plan.work}/console.log",
                "-device", f"{machine.serial_bus},id=kmvm"]
    for name in ("control", "stdout", "stderr", "signal"):
        command += ["-chardev", f"socket,id={name},path={plan.work}/{name}.sock",
                    "-device", f"virtserialport,bus=kmvm.0,chardev={name},name=kmvm.{name}"]
    command += ["-chardev", f"socket,id=qmp,path={plan.work}/qmp.sock",
                "-mon", "chardev=qmp,mode=control"]
    if chosen.smm:
        command += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
    if options.flash_log is not None:
        for event in flashlog.EVENTS:
            command += ["-trace", f"enable={event}"]
        command += ["-D", str(plan.trace)]
    cmdline = f"console={machine.console} quiet panic=-1"
    if chosen.uboot:
        esp = uboot_disk(plan, cmdline)
        command += ["-bios", chosen.code,
                    "-drive", f"if=none,id=esp,format=raw,readonly=on,file=fat:{esp}",
                    "-device", "virtio-blk-device,drive=esp",
                    # U-Boot has no flash for variables: the saved state needs an image to go to.
                    "-drive", f"if=none,id=state,format=qcow2,file={plan.store}"]
    else:
        command += ["-drive", f"if=pflash,format={chosen.code_format},unit=0,readonly=on,"
                              f"file={chosen.code}",
                    "-drive", f"if=pflash,format={plan.store_format},unit=1,file={plan.store}",
                    "-kernel", str(plan.kernel), "-initrd", str(plan.initrd), "-append", cmdline]
    return command


def uboot_disk(plan: Plan, cmdline: str) -> Path:
    """U-Boot cannot take a kernel from QEMU to boot it through UEFI: it boots it as an EFI
    application from a FAT disk, with a boot script that hands it its command line."""
    esp = plan.work / "esp"
    if not esp.exists():
        esp.mkdir()
        (esp / "Image").write_bytes(plan.kernel.read_bytes())
        (esp / "initrd").write_bytes(plan.initrd.read_bytes())
        script = plan.work / "boot.cmd"
        script.write_text(f"setenv bootargs 'initrd=\\\\initrd {cmdline}'\n"
                          "load virtio 0:1 ${kernel_addr_r} Image\n"
                          "bootefi ${kernel_addr_r} ${fdtcontroladdr}\n")
        made = subprocess.run(["mkimage", "-A", "arm64", "-T", "script", "-C", "none", "-d",
                               str(script), str(esp / "boot.scr")], capture_output=True)
        if made.returncode:
            raise Failure("mkimage could not make U-Boot's boot script")
    return esp


def qemu_img(*args: str) -> None:
    made = subprocess.run(["qemu-img", *args], capture_output=True, text=True)
    if made.returncode:
        raise Failure(f"qemu-img {' '.join(args)} failed: {made.stderr.strip()}")


class NotStarted(Failure):
    """The firmware or the kernel did not start: the message says how long was waited and what
    the console showed."""


class Run:
    """One run of the script: the VM, its boot and the commands it runs."""

    def __init__(self, plan: Plan):
        self.plan = plan
        self.vm: Optional[Vm] = None
        self.describe = plan.firmware.label
        self.live = plan.options.batch is None
        self.interrupted: Optional[int] = None  # the signal relayed to the last command
        self.marks: List[Tuple[int, str]] = []  # for --flash-log: (the trace's size, text)

    def mark(self, text: str) -> None:
        """Notes how far the flash's trace has come, for a marker in --flash-log: QEMU writes each
        trace line out as it happens, so everything before this moment is in the file."""
        if self.plan.options.flash_log is not None:
            try:
                size = self.plan.trace.stat().st_size
            except OSError:
                size = 0
            self.marks.append((size, text))

    def start(self, restore: bool) -> Vm:
        command = qemu_command(self.plan) + (["-loadvm", saves.SNAPSHOT] if restore else [])
        self.vm = Vm(command, self.plan.work, self.describe, self.plan.work / "console.log",
                     watch_stdout=self.live)
        return self.vm

    def stop_vm(self) -> None:
        if self.vm is not None:
            self.vm.close()
            self.vm = None

    def wait_line(self, limit: float, what: str, too_late: Optional[Callable[[], None]] = None,
                  timers: Optional[List] = None, watch: Optional[Callable[[], None]] = None) -> str:
        """The agent's next line, within LIMIT seconds (TOO_LATE, when given, says what then);
        WATCH, when given, runs while nothing has come."""
        vm = self.vm
        taken: List[str] = []

        def arrived() -> bool:
            line = vm.take_line()
            if line is not None:
                taken.append(line)
            elif watch is not None:
                watch()
            return bool(taken)

        def late() -> None:
            raise Failure(f"{self.describe}: {what} within {limit:g} seconds (see --timeout)")

        vm.pump(arrived, time.monotonic() + limit, too_late or late, timers)
        line = taken[0]
        if line.startswith("FAIL "):
            raise Failure(f"{self.describe}: in the VM: {line[5:]}")
        return line

    def boot(self, entry: Optional[saves.Entry]) -> None:
        """Restores the saved VM when there is a current one; otherwise boots cold, and saves the
        VM (when ENTRY is given) once the guest is ready."""
        options = self.plan.options
        if entry is not None and entry.restore_into(self.plan.store):
            try:
                self.start(restore=True).send(b"PING\n")
                if self.wait_line(30, "the restored VM did not answer") == "PONG":
                    return
                raise Failure("the restored VM gave a wrong answer")
            except Failure as failure:
                self.stop_vm()
                check_signals()
                reason = str(failure).strip().splitlines()[-1]
                guests.note(f"the saved VM for {self.describe} could not be restored ({reason}); "
                            "booting cold and saving it again")
                entry.discard()
        self.fresh_store()
        started = time.monotonic()
        self.start(restore=False)
        line = self.wait_ready(started, options.timeout)
        if not line.startswith("READY"):
            raise Failure(f"{self.describe}: the guest said {line!r} instead of READY")
        self.mark("ready")
        if entry is not None:
            self.save(entry)

    def wait_ready(self, started: float, limit: float) -> str:
        """The agent's first line after a cold boot. A firmware that has written nothing on its
        console, nor to its flash for --silence seconds, a VM that ends first, or a guest not
        ready within LIMIT seconds is refused with the time waited and the console's last lines."""
        vm = self.vm
        console = self.plan.work / "console.log"

        def waited() -> str:
            return f"{time.monotonic() - started:.1f} s after QEMU started"

        def said() -> str:
            lines = [line.strip()[:200] for line in vm.console_tail(50).splitlines()
                     if line.strip()]
            if not lines:
                return "the console stayed empty"
            return "the console's last lines: " + " | ".join(lines[-3:])

        def not_ready() -> None:
            raise NotStarted(f"{self.describe}: the guest was not ready {waited()} (see "
                             f"--timeout); {said()}")

        def flash_written() -> float:
            # QEMU writes each change of the flash through to the store's file at once.
            try:
                return self.plan.store.stat().st_mtime - (time.time() - time.monotonic())
            except OSError:
                return started

        def silent() -> None:
            if console.exists() and console.stat().st_size > 0:
                return
            quiet_since = max(started, flash_written())
            if time.monotonic() - quiet_since >= silence:
                raise NotStarted(f"{self.describe}: the firmware had written nothing on its "
                                 f"console {waited()}, nor to its flash for {silence} s: "
                                 "it does not start")
            timers[0][0] = quiet_since + silence

        def crashed() -> None:
            # edk2 stops for good after a CPU exception: no use waiting for the guest.
            exception = vm.exception()
            if exception:
                raise NotStarted(f"{self.describe}: the firmware took a CPU exception {waited()} "
                                 f"({exception}); {said()}")

        silence = self.plan.options.silence
        timers = [[started + silence, silent]] if 0 < silence < limit else []
        try:
            return self.wait_line(started + limit - time.monotonic(), "", not_ready, timers,
                                  crashed)
        except NotStarted:
            raise
        except Failure:
            status = vm.process.poll()
            if status is None:
                raise
            qemu = vm.qemu_log().splitlines()
            raise NotStarted(f"{self.describe}: the VM ended {waited()}, before the guest was "
                             f"ready (QEMU's status {status}"
                             + (f": {qemu[-1]}" if qemu else "; a guest that resets ends it")
                             + f"); {said()}") from None

    def fresh_store(self) -> None:
        plan = self.plan
        if plan.options.vars is not None:
            return
        plan.store.unlink(missing_ok=True)
        if plan.firmware.vars is None:
            qemu_img("create", "-f", "qcow2", str(plan.store), "1M")
        else:
            qemu_img("convert", "-f", plan.firmware.vars_format, "-O", "qcow2",
                     plan.firmware.vars, str(plan.store))

    def save(self, entry: saves.Entry) -> None:
        vm = self.vm
        guests.note(f"saving the booted VM for {self.describe} (later runs start from it)")
        vm.monitor("stop", wait=10)
        try:
            answer = vm.human(f"savevm {saves.SNAPSHOT}", wait=300)
            if answer.strip():
                guests.note(f"QEMU could not save the VM: {answer.strip()}")
            else:
                # Copied while the VM stands still: the copy is exactly the saved state.
                entry.keep(self.plan.store)
        finally:
            vm.monitor("cont", wait=10)

    def send_file(self, data: bytes, mode: str, path: str) -> None:
        self.vm.send(f"FILE {len(data)} {mode} {path}\n".encode() + data)
        line = self.wait_line(self.plan.options.timeout, f"the VM did not take {path}")
        if line != "OK":
            raise Failure(f"{self.describe}: in the VM: {line.removeprefix('FAIL ')}")

    def run_command(self, number: int, line: str, out: Callable[[bytes], None],
                    err: Callable[[bytes], None]) -> int:
        """Runs one shell line in the VM, its output streamed to OUT and ERR as it comes; returns
        its exit status."""
        vm, options = self.vm, self.plan.options
        vm.received = {"stdout": 0, "stderr": 0}
        vm.out_sink, vm.err_sink = out, err
        ended: List[List[int]] = []
        relayed: List[int] = []
        gone: List[float] = []

        def on_signal(signum: int) -> None:
            if relayed:
                vm.kill()
                raise Stopped(128 + signum, f"a second {signal.Signals(signum).name}: stopped "
                                            "the VM at once")
            relayed.append(signum)
            vm.relay(RELAYED[signum])

        def on_reader_gone() -> None:
            if not gone:
                gone.append(time.monotonic())
                vm.out_sink = lambda data: None
                vm.relay("PIPE")

        def over() -> bool:
            answer = vm.take_line()
            if answer is not None:
                words = answer.split()
                if words[:1] == ["FAIL"]:
                    raise Failure(f"{self.describe}: in the VM: {answer[5:]}")
                if words[:2] == ["END", str(number)] and len(words) == 5:
                    ended.append([int(word) for word in words[2:]])
            if gone and time.monotonic() - gone[0] > READER_GONE_GRACE:
                raise Stopped(128 + signal.SIGPIPE)
            if not ended:
                return False
            _, out_bytes, err_bytes = ended[0]
            if vm.received["stdout"] > out_bytes or vm.received["stderr"] > err_bytes:
                raise Failure(f"{self.describe}: command {number} sent more than it wrote")
            return vm.received["stdout"] == out_bytes and vm.received["stderr"] == err_bytes

        def silent() -> None:
            raise Failure(f"{self.describe}: command {number} of {len(self.plan.commands)} "
                          f"neither wrote nor ended for {options.timeout} seconds (see "
                          f"--timeout): {line}")

        def cut() -> None:
            vm.kill()
            self.mark("cut")
            vm.drain()
            raise Stopped(CUT, f"the power was cut {options.cut_after:g} s after the tool started "
                               "(QEMU killed)")

        def quiet_too_long() -> None:
            # The time limit counts from the command's last output.
            if time.monotonic() - vm.activity >= options.timeout:
                silent()
            timers[0][0] = vm.activity + options.timeout

        vm.on_signal, vm.on_reader_gone = on_signal, on_reader_gone
        try:
            self.mark(f"run {number}")
            vm.send(f"RUN {number}\n{line}\n".encode())
            vm.activity = time.monotonic()
            timers = [[vm.activity + options.timeout, quiet_too_long]]
            if options.stop_after is not None:
                timers.append([vm.activity + options.stop_after, lambda: vm.relay("INT")])
            if options.cut_after is not None:
                timers.append([vm.activity + options.cut_after, cut])
            vm.pump(over, timers=timers)
        finally:
            vm.on_signal, vm.on_reader_gone = default_on_signal, default_on_reader_gone
        self.mark(f"end {number} {ended[0][0]}")
        if gone:
            raise Stopped(128 + signal.SIGPIPE)
        self.interrupted = relayed[0] if relayed else None
        return ended[0][0]

    def run_all(self) -> int:
        """Runs the commands; the live one's status, or 0 when a batch's results are all in
        --out."""
        plan = self.plan
        if self.live:
            # --before lines first, everything they write on standard error.
            *before, tool = plan.commands
            for number, line in enumerate(before, start=1):
                status = self.run_command(number, line, write_to(2), write_to(2))
                if self.interrupted is not None:
                    raise Stopped(128 + self.interrupted)
                if status != 0:
                    raise Failure(f"{self.describe}: --before {line!r} ended with {status}")
            return self.run_command(len(plan.commands), tool, write_to(1, self.vm), write_to(2))
        plan.options.out.mkdir(parents=True, exist_ok=True)
        for number, line in enumerate(plan.commands, start=1):
            base = plan.options.out / str(number)
            with open(f"{base}.out", "wb") as out, open(f"{base}.err", "wb") as err:
                status = self.run_command(number, line, out.write, err.write)
            Path(f"{base}.status").write_text(f"{status}\n")
            if self.interrupted is not None:
                # The interrupted command's results are kept; the rest of the batch is not run.
                raise Stopped(128 + self.interrupted)
        return 0


def write_to(fd: int, vm: Optional[Vm] = None) -> Callable[[bytes], None]:
    """Writes every byte to FD, as it comes; a reader of standard output that went away is the
    VM's to handle."""

    def write(data: bytes) -> None:
        view = memoryview(data)
        try:
            while view:
                view = view[os.write(fd, view):]
        except BrokenPipeError:
            if vm is not None:
                vm.on_reader_gone()
        except OSError:
            pass

    return write


def commands_of(options: Options) -> List[str]:
    if options.batch is not None:
        lines = options.batch.read_text().splitlines()
        return [line for line in lines if line.strip() and not line.startswith("#")]
    # exec: the tool itself is the process group leader's child, with the default reaction to
    # every signal, and no shell stays to print job messages ("Terminated") on standard error.
    tool = " ".join(["exec", "kestomandrel"] + [shlex.quote(arg) for arg in options.args])
    return options.before + [tool]


def entry() -> None:
    """The command's entry point: scripts/uefi-vm, python3 -m uefi_vm, kestomandrel-vm."""
    sys.exit(main(sys.argv[1:]))


def main(argv: List[str]) -> int:
    try:
        return run(argv)
    except Failure as failure:
        sys.stderr.write(f"uefi-vm: {failure}\n")
        return FAILED
    except Stopped as stopped:
        if str(stopped):
            sys.stderr.write(f"uefi-vm: {stopped}\n")
        return stopped.status
    except Exception:  # a fault of this script: still its own failure, with the trace to mend it
        traceback.print_exc()
        return FAILED


def run(argv: List[str]) -> int:
    options = parse(argv)
    if options.list_firmware:
        sys.stdout.write("".join(f"{line}\n" for line in firmwares.listing()))
        return 0
    check_request(options)
    chosen = choose(options)
    if options.show_firmware:
        sys.stdout.write("".join(f"{line}\n" for line in firmwares.shown(chosen)))
        return 0
    check(options, chosen)
    catch_signals()
    with booted(options, chosen) as this:
        status = this.run_all()
        this.vm.quit()
        return status


def entry_name(chosen: firmwares.Firmware) -> str:
    """The saved VM's directory for a firmware: its name, or for a descriptor file or files given
    in place of its own, their stem and a digest of their paths (their contents are in the key)."""
    if "/" not in chosen.name and not chosen.given_code and not chosen.given_factory:
        return chosen.name
    paths = "\0".join([chosen.name, chosen.given_code or "", chosen.given_factory or ""])
    stem = Path(chosen.name).stem
    return f"{stem}-{hashlib.sha256(paths.encode()).hexdigest()[:12]}"


@contextmanager
def booted(options: Options, chosen: firmwares.Firmware) -> Iterator[Run]:
    """Everything up to a guest that has the tool and the files and waits for its commands."""
    provide_packages(chosen, options)
    guest = guests.locate(chosen, ROOT, options.kernel)
    tool = build_tool(chosen, options)
    check_signals()
    commands = commands_of(options) if options.args is not None or options.batch else []
    if options.vars is not None and not options.vars.exists():
        # A kept store is a raw file, whatever the factory store's format.
        if chosen.vars_format == "raw":
            subprocess.run(["cp", "--sparse=always", chosen.vars, str(options.vars)], check=True)
        else:
            qemu_img("convert", "-f", chosen.vars_format, "-O", "raw", chosen.vars,
                     str(options.vars))
    if options.vars is not None and not os.access(options.vars, os.W_OK):
        raise Failure(f"cannot write the variable store {options.vars}")
    if options.kvm and not os.access("/dev/kvm", os.W_OK):
        raise Failure("--kvm: /dev/kvm is missing or not writable")

    with tempfile.TemporaryDirectory(prefix="uefi-vm.") as work_name:
        work = Path(work_name)
        initrd_bytes = guests.initramfs(guest, chosen, INIT)
        initrd = work / "initrd"
        initrd.write_bytes(initrd_bytes)
        if options.vars is not None:
            store, store_format = options.vars.resolve(), "raw"
        else:
            store, store_format = work / "vars.qcow2", "qcow2"
        plan = Plan(chosen, options, work, guest.kernel, initrd, store, store_format, commands)
        this = Run(plan)
        try:
            entry = None
            if options.vars is None and not options.cold and options.flash_log is None:
                template = [arg.replace(work_name, "WORK") for arg in qemu_command(plan)]
                files = [Path(chosen.code), guest.kernel]
                if chosen.vars:
                    files.append(Path(chosen.vars))
                state_key = saves.key(chosen.machine.qemu, template, files, initrd_bytes)
                accel = "kvm" if options.kvm else "tcg"
                entry = saves.Entry(CACHE, f"{entry_name(chosen)}-{options.cpus}cpu-{accel}",
                                    state_key)
            this.boot(entry)
            check_signals()
            this.send_file(tool.read_bytes(), "0755", "/bin/kestomandrel")
            for path in options.files:
                this.send_file(path.read_bytes(), "0644", f"/work/{path.name}")
            check_signals()
            yield this
        except Failure as failure:
            # A firmware that did not start says its console's last lines itself.
            if this.vm is not None and not isinstance(failure, NotStarted):
                tail = this.vm.console_tail()
                if tail:
                    sys.stderr.write(f"uefi-vm: the last lines of the VM's console:\n{tail}\n")
            raise
        finally:
            if options.console is not None:
                try:
                    options.console.write_bytes((work / "console.log").read_bytes())
                except OSError:
                    pass
            this.stop_vm()
            if options.flash_log is not None and plan.trace.exists():
                try:
                    flashlog.convert(plan.trace, options.flash_log, this.marks)
                except OSError as error:
                    guests.note(f"could not write the flash log {options.flash_log}: {error}")
