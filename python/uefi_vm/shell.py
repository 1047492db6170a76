"""--shell: the tool's UEFI build (kestomandrel-x64.efi, kestomandrel-aa64.efi) run in the
firmware's UEFI Shell instead of in Linux. The Shell runs a startup.nsh from a FAT disk that holds
the tool and the --file files; its serial console is this script's link to it: the tool's output
comes back on it between two marker lines, and Ctrl-C goes to it as the byte 0x03, which the
Shell turns into its break event. A batch's outputs go to files on the disk through the Shell's
">" (UCS-2, every byte the tool wrote) and are read back once the VM has shut down."""

import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

from . import paths
from . import qemuimg
from . import releases
from . import signals
from .errors import FAILED, Failure, Stopped
from .process import die_with_parent
from .provision import build, installed, provide
from .quiet import note

BEGIN, RUN, END = "=kmvm-begin=", "=kmvm-run=", "=kmvm-end="
# The Shell's %lasterror% after the tool, and the status this script then ends with: the tool's
# exit code as the Linux build gives it (-1 is 255), and Ctrl-C's STATUS_CONTROL_C_EXIT as Linux's
# SIGINT (130).
STATUSES = {0: 0, 1: 1, (1 << 64) - 1: 255, 0xC000013A: 130}
EFI_BUILDS = {"x86_64": ("efi-x64", "kestomandrel-x64.efi"),
              "aarch64": ("efi-aa64", "kestomandrel-aa64.efi")}
DISK_MIB = 64
# Debian's UEFI Shell applications (efi-shell-x64, efi-shell-aa64, from Debian 13 on), and the
# removable-media boot file each is booted as from the disk.
SHELL_APPLICATIONS = {"x86_64": ("usr/share/efi-shell-x64/shellx64.efi", "EFI/BOOT/BOOTX64.EFI"),
                      "aarch64": ("usr/share/efi-shell-aa64/shellaa64.efi",
                                  "EFI/BOOT/BOOTAA64.EFI")}
MONITOR_POLL = 0.5  # seconds between the monitor commands that wake a sleeping guest (QEMU 7.2)
TOOL = "kestomandrel.efi"
TIMEOUT_LINE = re.compile(r"timeout -s INT (\d+) (.*)$")
# What edk2's boot manager says when it has tried every boot option, the Shell's among them.
NO_SHELL = (b"No bootable option or device was found", b"No bootable option was found")


def refusal(chosen) -> Optional[str]:
    """Why the Shell cannot run the tool on CHOSEN, or None."""
    if chosen.uboot:
        return f"--shell: {chosen.name} has no UEFI Shell"
    if chosen.architecture == "i386":
        return f"--shell: {chosen.name} is 32-bit UEFI, and the tool's UEFI build is 64-bit only"
    if chosen.enrolled_keys:
        return (f"--shell: Secure Boot is on in {chosen.name}: it starts no Shell and no unsigned "
                "application")
    return None


def shell_word(word: str) -> str:
    """WORD as one argument on a Shell command line: quoted, with the characters the Shell acts
    on inside quotes too (its escape, quote, variables and comments) escaped with ^."""
    return '"' + re.sub(r'([\^"%#])', r"^\1", word) + '"'


@dataclass
class Step:
    """One tool command of the run: its arguments, and SECS after which it gets Ctrl-C."""

    args: List[str]
    stop_after: Optional[int] = None


def steps_of(options) -> List[Step]:
    """The tool commands a run asks for. A batch's lines are the Linux batch's tool lines:
    "kestomandrel ARGS...", or "timeout -s INT SECS kestomandrel ARGS..." for Ctrl-C after SECS;
    the Shell runs no other command of the Linux guest's shell."""
    if options.batch is None:
        return [Step(list(options.args), options.stop_after)]
    steps = []
    for line in options.batch.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        stop_after = None
        timed = TIMEOUT_LINE.match(line.strip())
        if timed:
            stop_after, line = int(timed.group(1)), timed.group(2)
        words = shlex.split(line)
        if not words or words[0] != "kestomandrel":
            raise Failure(f"--shell: the Shell runs only the tool: \"kestomandrel ARGS...\", "
                          f"optionally after \"timeout -s INT SECS\", not: {line}")
        steps.append(Step(words[1:], stop_after))
    return steps


def startup_script(steps: List[Step], batch: bool) -> str:
    """The Shell's startup.nsh: the tool's commands between the markers, then a shutdown."""
    lines = ["@echo -off", "FS0:", f"echo {BEGIN}"]
    for number, step in enumerate(steps, start=1):
        command = " ".join([TOOL] + [shell_word(arg) for arg in step.args])
        if batch:
            lines += [f"echo {RUN}{number}", f"{command} > out\\{number}.txt",
                      f"echo {END}{number} %lasterror%"]
        else:
            lines += [command, f"echo {END}1 %lasterror%"]
    lines.append("reset -s")
    return "".join(f"{line}\r\n" for line in lines)


def shell_application(chosen) -> Optional[Path]:
    """The UEFI Shell of CHOSEN's release as an application, booted from the disk before anything
    the firmware has built in: the release's efi-shell package, fetched with its firmware, or for
    this machine's firmware the one installed here. None when there is none (Debian 12 has no
    such package): the firmware's own built-in Shell runs then, if it has one."""
    path, _ = SHELL_APPLICATIONS[chosen.machine_name]
    found = (releases.root(chosen.release) / "root" if chosen.release else Path("/")) / path
    return found if found.is_file() else None


def efi_tool(chosen, given: Optional[Path], install: bool) -> Path:
    """The tool's UEFI build for CHOSEN's machine: GIVEN, built from the checkout, or the one the
    package installs."""
    preset, name = EFI_BUILDS[chosen.machine_name]
    if given is not None:
        found = Path(given)
    elif paths.checkout() is not None:
        # Built with clang and lld: installed as --install or the prompt allow, or refused in
        # one line that says how.
        absent = [package for package in ("clang", "lld") if not installed(package)]
        if absent:
            provide(absent, install, chosen.name)
        found = build(paths.checkout(), preset, chosen.machine_name, False).with_name(name)
    else:
        found = paths.INSTALLED_EFI / name
    if not found.is_file():
        raise Failure(f"no UEFI build of the tool at {found}")
    return found


def make_disk(image: Path, files: Dict[str, bytes]) -> None:
    """A FAT disk image holding FILES at its root, and an empty out directory."""
    with open(image, "wb") as disk:
        disk.truncate(DISK_MIB << 20)
    steps = [["mformat", "-i", str(image), "-F", "::"], ["mmd", "-i", str(image), "::/out"]]
    folders = sorted({str(parent) for name in files for parent in Path(name).parents} - {"."},
                     key=len)
    for folder in folders:
        steps.append(["mmd", "-i", str(image), f"::/{folder}"])
    for name, data in files.items():
        source = image.parent / f"disk-{Path(name).name}"
        source.write_bytes(data)
        steps.append(["mcopy", "-i", str(image), str(source), f"::/{name}"])
    for step in steps:
        made = subprocess.run(step, capture_output=True, text=True)
        if made.returncode:
            raise Failure(f"{step[0]} could not make the Shell's disk: {made.stderr.strip()}")


def read_out(image: Path, number: int) -> Optional[bytes]:
    """The tool's output of batch command NUMBER as it wrote it, from the file the Shell's ">"
    made: UCS-2 with a byte-order mark, each CHAR16 one byte of the tool's, each line break CR LF
    (the console's), given back as LF."""
    read = subprocess.run(["mtype", "-i", str(image), f"::/out/{number}.txt"], capture_output=True)
    return None if read.returncode else decode_redirected(read.stdout)


def decode_redirected(text: bytes) -> bytes:
    """The tool's bytes from a file of the Shell's ">": each CHAR16 the byte of its value, CR LF
    as LF (a CR of the tool's own is always followed by a space)."""
    text = text.removeprefix(b"\xff\xfe")
    units = [int.from_bytes(text[i:i + 2], "little") for i in range(0, len(text) - 1, 2)]
    return bytes(unit & 0xFF for unit in units).replace(b"\r\n", b"\n")


def command(chosen, work: Path, store: Path, store_format: str, disk: Path) -> List[str]:
    machine = chosen.machine
    argv = [machine.qemu, "-machine", machine.machine + (",smm=on" if chosen.smm else "")
            + ",accel=tcg", "-m", str(machine.memory)]
    if machine.cpu:
        argv += ["-cpu", machine.cpu]
    argv += ["-nodefaults", "-no-reboot", "-display", "none", "-serial", "stdio",
             "-qmp", f"unix:{work}/qmp.sock,server=on,wait=off"]
    if chosen.smm:
        argv += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
    bus = "virtio-blk-pci" if chosen.machine_name == "x86_64" else "virtio-blk-device"
    return argv + [
        "-drive", f"if=pflash,format={chosen.code_format},unit=0,readonly=on,file={chosen.code}",
        "-drive", f"if=pflash,format={store_format},unit=1,file={store}",
        "-drive", f"if=none,id=disk,format=raw,file={disk}", "-device", f"{bus},drive=disk"]


@dataclass
class Session:
    """The serial console of a Shell run: what came before the first marker goes only to the
    console log; then the tool's output, live (CR LF as LF) to WRITE, up to each end marker."""

    process: subprocess.Popen
    describe: str
    log: Path
    write: Callable[[bytes], None]
    steps: List[Step]
    live: bool
    buffer: bytes = b""
    begun: bool = False
    running: Optional[int] = None  # the batch command under way
    started: float = 0.0
    statuses: Dict[int, int] = field(default_factory=dict)
    interrupted: bool = False

    def feed(self, data: bytes) -> None:
        with open(self.log, "ab") as log:
            log.write(data)
        self.buffer += data
        if not self.begun:
            if any(text in self.buffer for text in NO_SHELL):
                raise Failure(f"--shell: {self.describe} has no UEFI Shell to boot (its boot "
                              "manager found no bootable option)", console="")
            if b"Press" in self.buffer and b"ESC" in self.buffer and b"startup.nsh" in self.buffer:
                # Any key but ESC runs startup.nsh at once, without the Shell's 5 s countdown.
                self.key(b"\r")
                self.buffer = self.buffer[self.buffer.rindex(b"startup.nsh"):]
            at = self.buffer.find(BEGIN.encode() + b"\r\n")
            if at < 0:
                return
            self.begun = True
            self.buffer = self.buffer[at + len(BEGIN) + 2:]
            if self.live:
                self.start(1)
        self.parse()

    def parse(self) -> None:
        while True:
            marker = re.search(rb"=kmvm-(run|end)=(\d+)( 0x[0-9A-Fa-f]+)?\r\n", self.buffer)
            if marker is None:
                # Everything but a marker's beginning, whole or cut short, is the tool's.
                cut = self.buffer.rfind(b"=kmvm-")
                if cut < 0:
                    cut = len(self.buffer)
                    for length in range(1, len(b"=kmvm-")):
                        if self.buffer.endswith(b"=kmvm-"[:length]):
                            cut -= length
                            break
                # A CR whose LF has not come yet: the two make one line break.
                if cut > 0 and self.buffer[cut - 1:cut] == b"\r":
                    cut -= 1
                self.out(self.buffer[:cut])
                self.buffer = self.buffer[cut:]
                return
            self.out(self.buffer[:marker.start()])
            self.buffer = self.buffer[marker.end():]
            number = int(marker.group(2))
            if marker.group(1) == b"run":
                self.start(number)
            else:
                self.statuses[number] = int(marker.group(3), 16)
                self.running = None

    def out(self, data: bytes) -> None:
        # Only the tool's own output: not the Shell's words after it (its shutdown's).
        if self.live and data and self.running is not None:
            self.write(data.replace(b"\r\n", b"\n"))

    def start(self, number: int) -> None:
        self.running, self.started = number, time.monotonic()

    def key(self, data: bytes) -> None:
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except OSError:
            pass

    def due_break(self) -> bool:
        """Whether the command under way has run for its --stop-after or timeout seconds."""
        if self.running is None:
            return False
        after = self.steps[self.running - 1].stop_after
        return after is not None and time.monotonic() - self.started >= after


class Monitor:
    """QEMU's QMP socket, asked for its status now and then: QEMU 7.2 under software emulation
    sometimes never wakes a guest that sleeps on a timer, and any monitor command wakes it."""

    def __init__(self, path: Path):
        self.path, self.sock, self.last = path, None, 0.0

    def poll(self) -> None:
        now = time.monotonic()
        if now - self.last < MONITOR_POLL:
            return
        self.last = now
        try:
            if self.sock is None:
                if not self.path.exists():
                    return
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(str(self.path))
                self.sock.setblocking(False)
                self.sock.sendall(b'{"execute": "qmp_capabilities"}\n')
            self.sock.sendall(b'{"execute": "query-status"}\n')
            while self.sock.recv(65536):
                pass
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            self.close()

    def close(self) -> None:
        if self.sock is not None:
            self.sock.close()
            self.sock = None


def run(options, chosen, install: bool) -> int:
    """Runs the tool in CHOSEN's Shell: the live command's status, or 0 with a batch's results in
    --out."""
    why = refusal(chosen)
    if why:
        raise Failure(why)
    for program, package in (("mformat", "mtools"), (chosen.machine.qemu,
                                                      chosen.machine.qemu_package)):
        if shutil.which(program) is None:
            provide([package], install, chosen.name)
    steps = steps_of(options)
    tool = efi_tool(chosen, options.tool, install)
    with tempfile.TemporaryDirectory(prefix="uefi-vm-shell.") as scratch:
        work = Path(scratch)
        files = {TOOL: tool.read_bytes(),
                 "startup.nsh": startup_script(steps, options.batch is not None).encode()}
        for path in options.files:
            files[path.name] = path.read_bytes()
        application = shell_application(chosen)
        if application is not None:
            files[SHELL_APPLICATIONS[chosen.machine_name][1]] = application.read_bytes()
        disk = work / "disk.img"
        make_disk(disk, files)
        if options.kept is not None:
            if not options.kept.exists():
                qemuimg.raw_copy(chosen, options.kept)
            store, store_format = options.kept.resolve(), "raw"
        else:
            store, store_format = work / "vars.qcow2", "qcow2"
            qemuimg.qcow2_copy(chosen, store)
        try:
            session = boot(options, chosen, work, store, store_format, disk, steps)
        finally:
            if options.console is not None and (work / "console.log").exists():
                shutil.copyfile(work / "console.log", options.console)
        if options.batch is None:
            return result(chosen, session.statuses.get(1))
        options.out.mkdir(parents=True, exist_ok=True)
        for number in range(1, len(steps) + 1):
            data = read_out(disk, number)
            if data is None or number not in session.statuses:
                raise Failure(f"{chosen.name}: the Shell gave no result for command {number}")
            base = options.out / str(number)
            Path(f"{base}.out").write_bytes(data)
            Path(f"{base}.err").write_bytes(b"")
            Path(f"{base}.status").write_text(f"{result(chosen, session.statuses[number])}\n")
        return 0


def result(chosen, status: Optional[int]) -> int:
    if status is None:
        raise Failure(f"{chosen.name}: the Shell shut down before the tool ended")
    if status not in STATUSES:
        raise Failure(f"{chosen.name}: the Shell did not run the tool (%lasterror% {status:#x})")
    return STATUSES[status]


def boot(options, chosen, work: Path, store: Path, store_format: str, disk: Path,
         steps: List[Step]) -> Session:
    """Boots CHOSEN into its Shell, which runs the steps and shuts down; the session's results."""
    argv = command(chosen, work, store, store_format, disk)
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=open(work / "qemu.log", "wb"), start_new_session=True,
                               preexec_fn=die_with_parent)
    session = Session(process, chosen.name, work / "console.log", lambda data: write_all(1, data), steps,
                      live=options.batch is None)
    monitor = Monitor(work / "qmp.sock")
    last_output = time.monotonic()
    relayed = False
    try:
        while True:
            while signals.pending:
                signum = signals.pending.pop(0)
                if signum == signal.SIGINT and session.running is not None and not relayed:
                    # Ctrl-C goes to the tool, through the Shell; a second one stops the VM.
                    session.key(b"\x03")
                    relayed = True
                    continue
                raise Stopped(128 + signum)
            if session.due_break():
                session.key(b"\x03")
                session.steps[session.running - 1].stop_after = None
            monitor.poll()
            wakeup = signals.wakeup
            watched = [process.stdout] + ([wakeup] if wakeup is not None else [])
            ready, _, _ = select.select(watched, [], [], MONITOR_POLL)
            if wakeup is not None and wakeup in ready:
                try:
                    wakeup.recv(4096)
                except BlockingIOError:
                    pass
            if process.stdout in ready:
                data = os.read(process.stdout.fileno(), 65536)
                if not data:
                    break
                last_output = time.monotonic()
                session.feed(data)
            elif time.monotonic() - last_output > options.timeout:
                tail = (work / "console.log").read_bytes().decode(errors="replace")
                raise Failure(f"{chosen.name}: the Shell wrote nothing for {options.timeout} s "
                              "(see --timeout)", console=tail[-2000:])
        process.wait(30)
    finally:
        monitor.close()
        if process.poll() is None:
            process.kill()
            process.wait()
    if not session.begun:
        tail = (work / "console.log").read_bytes().decode(errors="replace")
        raise Failure(f"{chosen.name}: the firmware did not run the Shell's startup.nsh "
                      f"(QEMU's status {process.returncode})", console=tail[-2000:])
    return session


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view):]
    except BrokenPipeError:
        raise Stopped(128 + signal.SIGPIPE)
