"""The harness's command line: every option declared once, in TABLE, from which come the fields of
Options, the argparse parser and the --help text; and the mistakes a request can make, found
before anything of the machine is looked at."""

import argparse
import os
import sys
import textwrap
from dataclasses import dataclass, field, make_dataclass
from pathlib import Path
from typing import Any, Callable, List, Optional, Tuple

from . import firmware as firmwares
from . import paths
from .errors import Failure, Stopped

# Seconds a booting firmware may go without writing on its console or to its flash before it is
# taken for one that does not start: edk2 writes on the console within about 4 s, U-Boot and
# AArch64 edk2 at once, and OVMF's reclaim of a full store, silent for up to a minute, writes its
# flash all along; a garbage executable does neither.
SILENT_FIRMWARE = 30
STUCK_CPU = 24  # seconds: see liveness.py
WIDTH = 100
INDENT = 21  # where the options' help starts


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


@dataclass(frozen=True)
class Option:
    """One option: its flags, the field of Options it fills, how its value is read (None: a
    switch), its default, its metavar, its help (str.format'ed with the names of help_values) and
    the group of --help it is listed in; a repeated one collects its values in a list."""

    flags: Tuple[str, ...]
    field: str
    parse: Optional[Callable[[str], Any]] = None
    default: Any = None
    metavar: str = ""
    help: str = ""
    group: str = ""
    repeat: bool = False


FIRMWARE, STORE, RUN, VM, HOST = ("The firmware", "The variable store", "What runs", "The VM",
                                  "The host")

TABLE = (
    Option(("--firmware",), "firmware", str, "ovmf", "NAME", """\
the firmware (default ovmf): one of these names,
{firmwares}
or RELEASE:NAME, another Debian release's firmware (trixie:ovmf; NAME a short name or a \
descriptor's stem as RELEASE ships it), fetched with --install into the cache, \
or a QEMU firmware descriptor: a JSON file (a name with a "/", or a .json file here), or a \
descriptor's file name or stem in QEMU's search path (/usr/share/qemu/firmware, \
/etc/qemu/firmware, ~/.config/qemu/firmware; --list-firmware lists them). A descriptor gives the \
executable and variable store template (raw or qcow2), the architecture (x86_64, i386 or \
aarch64) and the features: requires-smm gives SMM and a secure flash; secure-boot and \
enrolled-keys say whether Secure Boot is on, which the suites expect""", FIRMWARE),
    Option(("--code",), "code", str, None, "FILE", "the firmware's executable (code flash) in "
           "place of the chosen firmware's, on the same machine: e.g. --code build/OVMF_CODE.fd "
           "for your own build", FIRMWARE),
    Option(("--factory",), "factory", str, None, "FILE", "the factory variable store runs start "
           "from, in place of the chosen firmware's (raw, or qcow2)", FIRMWARE),
    Option(("--list-firmware",), "list_firmware", help="list every firmware found, one a line: "
           "its name, architecture, whether its files are there, its features and its "
           "description", group=FIRMWARE),
    Option(("--show-firmware",), "show_firmware", help="show what --firmware, --code and "
           "--factory give, as \"key: value\" lines", group=FIRMWARE),
    Option(("--vars",), "kept", Path, None, "FILE", "keep the firmware's variable store in FILE "
           "across runs (made from the factory store when FILE does not exist yet; not for "
           "u-boot, which has none); boots cold", STORE),
    Option(("--cold",), "cold", help="boot cold, neither restoring nor saving a VM", group=STORE),
    Option(("--flash-log",), "flash_log", Path, None, "FILE", "log every write and erase of the "
           "variable store's flash, in order, to FILE (text: \"W OFFSET BYTES\" and \"E OFFSET "
           "LENGTH\" lines in hex, \"# ready\" where the boot ended; see "
           "python/uefi_vm/flashlog.py); replayed onto the store the run began with (--vars FILE "
           "as it was, or the factory store), any prefix of it gives the store as a power cut at "
           "that write leaves it; boots cold", STORE),
    Option(("--shell",), "shell", help="run the tool's UEFI build (kestomandrel-x64.efi, "
           "kestomandrel-aa64.efi) in the firmware's UEFI Shell instead of in Linux: the same "
           "command line and messages, its output read from the Shell's serial console (which "
           "cannot show a NUL and shows some other bytes as ?; a batch's --out files hold every "
           "byte), Ctrl-C passed on as the Shell's break; boots cold, on x86_64 and AArch64 edk2 "
           "with Secure Boot off; --tool gives the .efi; a batch takes the tool's lines only "
           "(\"kestomandrel ARGS\", \"timeout -s INT SECS kestomandrel ARGS\")", group=RUN),
    Option(("--file",), "files", Path, None, "PATH", "copy PATH into the VM's working directory, "
           "under its own name (repeatable), e.g. for \"/s Name {{GUID}} /f value.bin\"", RUN,
           repeat=True),
    Option(("--before",), "before", one_line, None, "LINE", "run LINE, a command for the VM's "
           "shell as in --batch, before the tool, its output on standard error (repeatable); one "
           "that fails ends the run (125)", RUN, repeat=True),
    Option(("--stop-after",), "stop_after", seconds, None, "SECS", "interrupt the tool (SIGINT, "
           "like Ctrl-C) SECS seconds after it started: for the endless /t loop; the exit status "
           "is then 130", RUN),
    Option(("--cut-after",), "cut_after", moment, None, "SECS", "cut the power SECS seconds "
           "(decimals allowed) after the tool started: QEMU is killed without warning (SIGKILL), "
           "what the tool had written by then is passed on, and the exit status is 137; with "
           "--vars the store keeps exactly what the firmware had written to its flash", RUN),
    Option(("--batch",), "batch", Path, None, "FILE", "run every line of FILE in one boot: each "
           "line is a command for the VM's shell (busybox sh), where \"kestomandrel\" is the tool "
           "and \"as-user CMD...\" runs CMD as an unprivileged user; empty lines and lines "
           "starting with # are skipped", RUN),
    Option(("--out",), "out", Path, None, "DIR", "with --batch: the N-th command's output goes "
           "to DIR/N.out, its standard error to DIR/N.err and its exit status to DIR/N.status (N "
           "from 1)", RUN),
    Option(("--timeout",), "timeout", seconds, 240, "SECS", "give up when the guest is not ready "
           "SECS seconds after QEMU started, or when a command has neither written nor ended for "
           "SECS seconds (default 240)", VM),
    Option(("--silence",), "silence", seconds, SILENT_FIRMWARE, "SECS", "give up on a firmware "
           "that has written nothing on its console, nor to its flash, for SECS seconds (default "
           f"{SILENT_FIRMWARE}; 0: wait for --timeout)", VM),
    Option(("--stuck",), "stuck", seconds, STUCK_CPU, "SECS", "give up on a guest whose CPU "
           "has stayed in a few bytes of the firmware's code, or halted with its interrupts off, "
           "for SECS seconds before it was ready, or has run on anywhere in that code for twice as "
           "long, with nothing written on its console nor to its "
           f"flash meanwhile (default {STUCK_CPU}; 0: wait for --timeout)", VM),
    Option(("--cpus",), "cpus", cpus, 1, "N", "give the VM N virtual CPUs (default 1)", VM),
    Option(("--kvm",), "kvm", help="use KVM instead of software emulation (x86_64 firmwares; not "
           "on every machine)", group=VM),
    Option(("--tool",), "tool", Path, None, "PATH", "run this statically linked kestomandrel "
           "instead of {tool_source}", VM),
    Option(("--kernel",), "kernel", str, None, "PATH", "boot this kernel instead of the newest "
           "/boot/vmlinuz-* (for aavmf and u-boot: the arm64 kernel fetched into {cache})", VM),
    Option(("--console",), "console", Path, None, "FILE", "keep the VM's console log (firmware "
           "and kernel messages) in FILE", VM),
    Option(("--debug-log",), "debug_log", Path, None, "FILE", "keep the firmware's debug output "
           "in FILE: edk2's DEBUG and ASSERT messages, which a DEBUG build writes (on x86 to the "
           "debug console at I/O port 0x402, on AArch64 on the serial console, as --console)",
           VM),
    Option(("--install",), "install", help="install the missing packages the firmware needs with "
           "apt-get (as root, on Debian): qemu-system-x86 or qemu-system-arm, qemu-utils, the "
           "firmware's package (ovmf, ovmf-ia32, qemu-efi-aarch64, u-boot-qemu and u-boot-tools), "
           "busybox-static, kmod, a kernel (linux-image-cloud-amd64) and for AArch64 the arm64 "
           "architecture in dpkg{build_tools}", group=HOST),
    Option(("-h", "--help"), "help", help="show this text", group=HOST),
)

Options = make_dataclass("Options", [
    (option.field, Any, field(default_factory=list) if option.repeat
     else field(default=False if option.parse is None else option.default))
    for option in TABLE] + [("args", Any, field(default=None))])
Options.__doc__ = ("What the command line asks for: a field for each option of TABLE, and args, "
                   "the tool's arguments after \"--\" (None without them).")

INTRO = """\
Usage: {prog} [options] -- ARGS...
       {prog} [options] --batch FILE --out DIR

Runs kestomandrel in a throwaway UEFI virtual machine (QEMU with a UEFI firmware, Debian's or your
own, and a Debian kernel). With "-- ARGS...", runs "kestomandrel ARGS..." once, live: each write of
the tool reaches this script's standard output as it happens (its standard error goes to standard
error), and the exit status is the tool's. Ctrl-C, SIGTERM and SIGHUP go on to the tool in the
VM, which ends as it would on a real machine (status 130, 143, 129); a second one stops the VM at
once. A reader of standard output that goes away ends the run (141). Without --vars every run
starts from the firmware's factory variable store.

The first run on a firmware boots it cold and saves the VM once the guest is ready, in
{cache}/saved; later runs restore that in about a second. A saved VM is made again when anything
it was made of changes (firmware, kernel, initramfs, QEMU, machine options). Every firmware can be
saved: U-Boot, which has no flash for variables, into a small image of its own.
"""

OUTRO = """
The AArch64 guest's kernel and busybox are Debian's arm64 packages, downloaded with apt-get and
unpacked (never installed) into {cache}/arm64.

A firmware that does not start is refused: one that has written nothing on its console, nor to its
flash for --silence seconds, that reports a CPU exception, whose VM resets before the guest is
ready, or whose CPU makes no progress for --stuck seconds (twice that in a loop through much code:
QEMU's monitor shows its registers once
a second: the verdict names the address it is stuck at, and the image there when the console
names the images it loads).

Exit status: the tool's; 125 when this script or the VM failed, or the command line is wrong (the
reason is on standard error); 137 when --cut-after cut the power; 128 + the signal's number when a
signal, or a reader of standard output that went away (141), ended the run before the tool had
started.
"""


def prog() -> str:
    return paths.program("scripts/uefi-vm", "kestomandrel-vm")


def help_values() -> dict:
    """What the help texts name that depends on where the harness runs from."""
    root, cache = paths.checkout(), paths.cache()
    if root is not None:
        cache = cache.relative_to(root)
        tool_source = ("building one with the CMake preset linux-static (linux-aarch64-static for "
                       "aavmf and u-boot)")
        build_tools = ("; from this checkout also the build tools (cmake, g++, make) and for "
                       "AArch64 the cross compiler g++-aarch64-linux-gnu")
    else:
        tool_source = f"the one installed in {paths.INSTALLED_TOOLS}"
        build_tools = ""
    listed = "\n".join(f"  {name:<12} {summary}" for name, summary in firmwares.TABLE)
    return dict(firmwares=listed, cache=cache, tool_source=tool_source, build_tools=build_tools)


def described(option: Option, values: dict) -> List[str]:
    """An option's lines of --help: its flags, then its help wrapped beside them; a line of the
    help that starts with a space is kept as it is."""
    head = "  " + ", ".join(option.flags) + (f" {option.metavar}" if option.metavar else "")
    lines: List[str] = []
    for piece in option.help.format(**values).split("\n"):
        if piece.startswith(" "):
            lines.append(piece)
        else:
            lines += textwrap.wrap(piece, WIDTH - INDENT, break_on_hyphens=False) or [""]
    if len(head) >= INDENT - 1:
        return [head] + [" " * INDENT + line for line in lines]
    first = head.ljust(INDENT) + lines[0]
    return [first] + [" " * INDENT + line for line in lines[1:]]


def filled(text: str) -> str:
    """TEXT's paragraphs filled to the width of --help; the usage lines kept as they are."""
    kept = []
    for paragraph in text.strip("\n").split("\n\n"):
        if paragraph.startswith("Usage:"):
            kept.append(paragraph)
        else:
            kept.append(textwrap.fill(" ".join(paragraph.split("\n")), WIDTH,
                                      break_on_hyphens=False))
    return "\n\n".join(kept) + "\n"


def usage() -> str:
    values = help_values()
    text = [filled(INTRO.format(prog=prog(), **values))]
    for group in dict.fromkeys(option.group for option in TABLE):
        text.append(f"{group}:")
        for option in TABLE:
            if option.group == group:
                text += described(option, values)
        text.append("")
    return "\n".join(text) + "\n" + filled(OUTRO.format(**values))


class Parser(argparse.ArgumentParser):
    """argparse's parsing, and its mistakes as this program's own failures (status 125)."""

    def error(self, message: str) -> None:
        sys.stderr.write(self.format_usage())
        raise Failure(message)


def parser() -> argparse.ArgumentParser:
    """The options of TABLE; each one fills the field of Options of its name."""
    name = prog()
    made = Parser(prog=name, usage=f"{name} [options] -- ARGS...\n       {name} [options] --batch "
                  "FILE --out DIR", add_help=False, allow_abbrev=False)
    for option in TABLE:
        if option.parse is None:
            made.add_argument(*option.flags, dest=option.field, action="store_true")
        else:
            made.add_argument(*option.flags, dest=option.field, type=option.parse,
                              metavar=option.metavar, action="append" if option.repeat else None,
                              default=[] if option.repeat else option.default)
    return made


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
    return Options(**vars(given), args=args)


# --- The mistakes of a request ------------------------------------------------------------------

def fail_usage(message: str) -> None:
    sys.stderr.write(usage())
    raise Failure(message)


def check_request(options: Options) -> None:
    """The mistakes found in the command line alone, for any firmware; then those that a short
    firmware name tells, before its descriptor or packages are looked for."""
    if options.list_firmware or options.show_firmware:
        return
    if options.batch is not None:
        check_batch(options)
    elif options.args is None:
        fail_usage("nothing to run: give -- ARGS... or --batch FILE")
    for path in options.files:
        if not path.is_file() or not os.access(path, os.R_OK):
            raise Failure(f"cannot read the file {path}")
    if options.args is not None and any("\n" in arg for arg in options.args):
        raise Failure("an argument with a line break cannot be passed to the VM")
    if options.factory is not None and options.firmware == firmwares.UBOOT.name:
        raise Failure(f"--factory: {options.firmware} keeps no variable store")
    foreseen = firmwares.foreseen(options.firmware)
    if foreseen is not None:
        check(options, options.firmware, *foreseen)


def check_batch(options: Options) -> None:
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


def check(options: Options, name: str, machine_name: str, keeps_store: bool) -> None:
    """The mistakes of these options on a firmware NAME that runs on MACHINE_NAME and keeps, or
    does not keep, a variable store on flash."""
    if options.kept is not None and not keeps_store:
        raise Failure(f"--vars: {name} keeps no variable store that the system could change")
    if options.flash_log is not None and not keeps_store:
        raise Failure(f"--flash-log: {name} has no flash for variables")
    if options.shell:
        for given, flag in ((options.before, "--before"), (options.cut_after, "--cut-after"),
                            (options.flash_log, "--flash-log"), (options.kvm, "--kvm")):
            if given:
                raise Failure(f"{flag} does not go with --shell")
    if options.kvm and machine_name != "x86_64":
        raise Failure(f"--kvm: {name} needs an AArch64 host for KVM")
