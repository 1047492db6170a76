"""The firmwares scripts/uefi-vm can boot, and the two machines they run on.

A UEFI firmware on flash is what a QEMU firmware descriptor says it is (a JSON file, as QEMU's
docs/interop/firmware.json defines it and libvirt reads it): its executable and its variable store
template, their formats, the architecture it runs on and its features. A firmware is named by a
descriptor file, by a descriptor's name in QEMU's search path, or by one of the short names below,
which stand for Debian's descriptors; RELEASE:NAME names one of another Debian release's,
fetched into the cache (releases.py). U-Boot has no descriptor and is described here. --code and
--factory then replace the files, keeping the machine: a firmware engineer's own build."""

import argparse
import json
import os
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from . import releases
from .errors import Failure

MIB = 1024 * 1024


@dataclass(frozen=True)
class Machine:
    """A guest CPU architecture: how QEMU emulates it and what the guest needs on it."""

    qemu: str  # the emulator
    qemu_package: str
    machine: str  # QEMU's -machine type
    cpu: Optional[str]  # QEMU's -cpu, when the machine's default will not do
    memory: int  # MiB
    console: str  # the kernel's console device
    serial_bus: str  # the virtio-serial device that carries the agent's ports
    modules: Tuple[str, ...]  # the guest modules its ports need (efivarfs comes too)
    preset: str  # the CMake preset of the statically linked tool for it
    # What QEMU's flash takes on this machine: every drive exactly flash_size bytes, or each a
    # non-zero multiple of 4 KiB and all of them together at most flash_limit bytes.
    flash_size: Optional[int] = None
    flash_limit: Optional[int] = None


MACHINES = {
    "x86_64": Machine(
        qemu="qemu-system-x86_64",
        qemu_package="qemu-system-x86",
        machine="q35",
        cpu=None,
        memory=512,
        console="ttyS0",
        serial_bus="virtio-serial-pci",
        modules=("virtio_pci", "virtio_console"),
        preset="linux-static",
        flash_limit=8 * MIB,
    ),
    "aarch64": Machine(
        qemu="qemu-system-aarch64",
        qemu_package="qemu-system-arm",
        machine="virt",
        cpu="cortex-a57",
        memory=1024,
        console="ttyAMA0",
        serial_bus="virtio-serial-device",
        modules=("virtio_mmio", "virtio_console"),
        preset="linux-aarch64-static",
        flash_size=64 * MIB,
    ),
}

# A descriptor's architecture, and the machine that runs it: 32-bit edk2 runs on the x86_64
# machine, where Debian's 64-bit kernel starts in mixed mode.
ARCHITECTURES = {"x86_64": "x86_64", "i386": "x86_64", "aarch64": "aarch64"}


@dataclass(frozen=True)
class Firmware:
    name: str  # what --firmware takes back to give this firmware (with its --code and --factory)
    summary: str  # one line of --help and --list-firmware
    machine_name: str  # a key of MACHINES: the machine it runs on
    packages: Tuple[str, ...]  # the host's Debian packages it needs besides QEMU
    code: str  # the firmware's read-only flash, or U-Boot's -bios image
    factory: Optional[str]  # the factory store (template) each run starts from; None for U-Boot
    smm: bool = False  # SMM and a secure flash (the descriptor's requires-smm)
    uboot: bool = False  # boots the kernel from a FAT disk with a boot script
    architecture: str = ""  # the descriptor's architecture: i386 for 32-bit edk2
    secure_boot: bool = False  # the firmware implements Secure Boot
    enrolled_keys: bool = False  # its factory store has keys enrolled: Secure Boot is on
    features: Tuple[str, ...] = ()  # everything the descriptor lists
    description: str = ""  # the descriptor's
    descriptor: Optional[str] = None  # the descriptor file it was read from
    code_format: str = "raw"
    factory_format: str = "raw"
    given_code: Optional[str] = None  # --code, in place of the descriptor's executable
    given_factory: Optional[str] = None  # --factory, in place of its nvram template
    release: str = ""  # the Debian release it was fetched from; "" for this machine's
    version: str = ""  # then the package that ships it and its version: "ovmf 2025.02-8"

    @property
    def machine(self) -> Machine:
        return MACHINES[self.machine_name]

    @property
    def label(self) -> str:
        """The firmware in messages: its name, and the files given in place of its own."""
        given = [f"{option} {path}" for option, path in (("--code", self.given_code),
                                                         ("--factory", self.given_factory)) if path]
        return f"{self.name} ({', '.join(given)})" if given else self.name

    def options(self) -> List[str]:
        """The scripts/uefi-vm options that give this firmware."""
        options = ["--firmware", self.name]
        if self.given_code:
            options += ["--code", self.given_code]
        if self.given_factory:
            options += ["--factory", self.given_factory]
        return options


@dataclass(frozen=True)
class Named:
    """A short name for one of Debian's descriptors, with the package that installs it."""

    name: str
    summary: str
    packages: Tuple[str, ...]
    descriptor: str  # the descriptor's stem
    machine_name: str  # the machine its descriptor is for
    # What the descriptor says, by which another release's equivalent is chosen.
    architecture: str
    features: Tuple[str, ...]


# The features that choose another release's descriptor for a short name: the first two must be
# as here (whether Secure Boot is on changes what the suites expect), SMM as here if it can.
CHOSEN_BY = ("enrolled-keys", "secure-boot", "requires-smm")

NAMED = (
    Named("ovmf", "x86_64 edk2 (OVMF), Secure Boot off", ("ovmf",), "60-edk2-x86_64", "x86_64",
          "x86_64", ()),
    # Debian's signed kernel boots under Secure Boot with Microsoft's keys.
    Named("ovmf-secure", "x86_64 edk2, Secure Boot on, Microsoft's keys enrolled", ("ovmf",),
          "40-edk2-x86_64-secure-enrolled", "x86_64", "x86_64", CHOSEN_BY),
    Named("ovmf-ia32", "32-bit edk2, the 64-bit kernel in mixed mode", ("ovmf-ia32",),
          "50-edk2-i386-secure", "x86_64", "i386", ("secure-boot", "requires-smm")),
    Named("aavmf", "AArch64 edk2, an aarch64 build of the tool", ("qemu-efi-aarch64",),
          "60-edk2-aarch64", "aarch64", "aarch64", ()),
)

# U-Boot offers no SetVariable at run time: the kernel mounts efivarfs read-only.
UBOOT = Firmware("u-boot", "AArch64 U-Boot's UEFI (variables read-only at run time)", "aarch64",
                 ("u-boot-qemu", "u-boot-tools"), "/usr/lib/u-boot/qemu_arm64/u-boot.bin", None,
                 uboot=True, architecture="aarch64")

TABLE = tuple((named.name, named.summary) for named in NAMED) + ((UBOOT.name, UBOOT.summary),)


def names() -> str:
    return ", ".join(name for name, _ in TABLE)


def packages_of(name: str) -> Tuple[str, ...]:
    """The packages that install a short name's descriptor or files; none for other names."""
    for named in NAMED:
        if named.name == name:
            return named.packages
    return UBOOT.packages if name == UBOOT.name else ()


def foreseen(name: str) -> Optional[Tuple[str, bool]]:
    """What a short name says before anything of the machine is read: the machine it runs on and
    whether it keeps a variable store on flash; None for other names."""
    name = (releases.split(name) or ("", name))[1]
    for named in NAMED:
        if named.name == name:
            return named.machine_name, True
    return (UBOOT.machine_name, False) if name == UBOOT.name else None


# --- QEMU's search path -------------------------------------------------------------------------

def search_path() -> List[Path]:
    """Where QEMU's convention looks for descriptors, from the general to the specific: the
    distribution's, the administrator's, the user's."""
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return [Path("/usr/share/qemu/firmware"), Path("/etc/qemu/firmware"),
            Path(config, "qemu/firmware")]


def descriptors() -> Dict[str, Path]:
    """Every descriptor in the search path by file name, sorted: a file in a more specific
    directory takes the place of one of the same name, and an empty one (or a link to /dev/null)
    hides it."""
    found: Dict[str, Path] = {}
    for directory in search_path():
        try:
            entries = sorted(directory.iterdir())
        except OSError:
            continue
        for entry in entries:
            if entry.name.endswith(".json"):
                found[entry.name] = entry
    return {name: path for name, path in sorted(found.items())
            if path.is_file() and path.stat().st_size > 0}


def _in_search_path(name: str) -> Optional[Path]:
    found = descriptors()
    return found.get(name) or found.get(f"{name}.json")


# --- Reading a descriptor ---------------------------------------------------------------------

def read(path: Path, name: str, summary: str = "", packages: Tuple[str, ...] = ()) -> Firmware:
    """The firmware a descriptor describes; its files are not looked at yet. Relative file names
    are taken from the descriptor's directory."""
    try:
        data = json.loads(path.read_text())
    except OSError as error:
        raise Failure(f"{name}: cannot read {path}: {error.strerror}")
    except ValueError as error:
        raise Failure(f"{name}: {path} is not JSON ({error})")
    try:
        return _described(data, path, name, summary, packages)
    except (AttributeError, KeyError, TypeError) as error:
        raise Failure(f"{name}: {path} is not a firmware descriptor ({type(error).__name__}: "
                      f"{error})")


def _described(data: dict, path: Path, name: str, summary: str,
               packages: Tuple[str, ...]) -> Firmware:
    interfaces = data["interface-types"]
    if "uefi" not in interfaces:
        raise Failure(f"{name}: {path} describes no UEFI firmware (interface-types: "
                      f"{', '.join(interfaces) or 'none'})")
    mapping = data["mapping"]
    if mapping["device"] != "flash":
        raise Failure(f"{name}: {path} maps the firmware to {mapping['device']}; only a firmware "
                      "on flash is supported")
    if mapping.get("mode", "split") != "split":
        raise Failure(f"{name}: {path} is a {mapping['mode']} flash; only a split one (an "
                      "executable and an nvram template) is supported")
    files = []
    for key in ("executable", "nvram-template"):
        entry = mapping[key]
        form = entry.get("format", "raw")
        if form not in ("raw", "qcow2"):
            raise Failure(f"{name}: {path}: the {key} is {form}; raw or qcow2 only")
        files.append((os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(path)),
                                                  entry["filename"])), form))
    architectures = [target["architecture"] for target in data["targets"]]
    known = [arch for arch in architectures if arch in ARCHITECTURES]
    if not known:
        raise Failure(f"{name}: {path} is for {', '.join(architectures) or 'no architecture'}; "
                      f"there is no machine for it here ({', '.join(ARCHITECTURES)})")
    features = tuple(data.get("features", []))
    description = data.get("description", "")
    (code, code_format), (store, factory_format) = files
    return Firmware(name, summary or description, ARCHITECTURES[known[0]], packages, code, store,
                    smm="requires-smm" in features, architecture=known[0],
                    secure_boot="secure-boot" in features,
                    enrolled_keys="enrolled-keys" in features, features=features,
                    description=description, descriptor=os.path.abspath(path),
                    code_format=code_format,
                    factory_format=factory_format)


# --- Choosing a firmware -----------------------------------------------------------------------

def resolve(name: str, code: Optional[str] = None, factory: Optional[str] = None) -> Firmware:
    """The firmware NAME stands for: a descriptor file (a name with a "/"), a short name,
    RELEASE:NAME (another release's, fetched), a descriptor's file name or stem in QEMU's search
    path, or a descriptor file in the current directory; with CODE and FACTORY in place of its
    executable and factory store. Its files must be there, in sizes that QEMU's flash takes."""
    chosen = replace(_named(name), **_given(name, code, factory))
    _check_files(chosen)
    return chosen


def _named(name: str) -> Firmware:
    if "/" in name:
        return read(Path(name), os.path.abspath(name))
    if name == UBOOT.name:
        return UBOOT
    split = releases.split(name)
    if split is not None:
        return releases.resolve(*split)
    for named in NAMED:
        if named.name == name:
            path = _in_search_path(named.descriptor)
            if path is None:
                raise Failure(f"{name}: Debian's descriptor {named.descriptor}.json is not in "
                              "QEMU's firmware directories, or an empty one hides it (install "
                              f"{' '.join(named.packages)}, or give --install)")
            return read(path, name, named.summary, named.packages)
    path = _in_search_path(name)
    if path is not None:
        return read(path, path.name[:-len(".json")])
    if name.endswith(".json") and os.path.isfile(name):
        return read(Path(name), os.path.abspath(name))
    raise Failure(f"unknown firmware: {name} (one of {names()}, a descriptor of "
                  "--list-firmware, or a descriptor file)")


def _given(name: str, code: Optional[str], factory: Optional[str]) -> dict:
    changes = {}
    if code is not None:
        path = os.path.abspath(code)
        changes.update(code=path, code_format=_format(path), given_code=path)
    if factory is not None:
        if name == UBOOT.name:
            raise Failure(f"--factory: {name} keeps no variable store")
        path = os.path.abspath(factory)
        changes.update(factory=path, factory_format=_format(path), given_factory=path)
    return changes


def _format(path: str) -> str:
    """A file given on the command line is raw unless it starts as a qcow2 image does."""
    try:
        with open(path, "rb") as file:
            return "qcow2" if file.read(4) == b"QFI\xfb" else "raw"
    except OSError:
        return "raw"


def _check_files(chosen: Firmware) -> None:
    drives = [("executable", chosen.code, chosen.code_format, chosen.given_code)]
    if chosen.factory is not None:
        drives.append(("factory store", chosen.factory, chosen.factory_format,
                       chosen.given_factory))
    for what, path, _, given in drives:
        if not os.path.isfile(path):
            source = "--code" if what == "executable" else "--factory"
            named = f"given by {source}" if given else f"named by {chosen.descriptor or 'uefi-vm'}"
            raise Failure(f"{chosen.label}: the {what} {path} ({named}) does not exist")
    if chosen.uboot:
        return
    machine, sizes = chosen.machine, []
    for what, path, form, _ in drives:
        size = _flash_size(path, form)
        sizes.append(size)
        if machine.flash_size is not None and size != machine.flash_size:
            raise Failure(f"{chosen.label}: the {what} {path} is {size} bytes; QEMU's flash on "
                          f"the {machine.machine} machine takes exactly {machine.flash_size} "
                          "(pad it with truncate -s 64M)")
        if machine.flash_size is None and (size == 0 or size % 4096):
            raise Failure(f"{chosen.label}: the {what} {path} is {size} bytes; QEMU's flash on "
                          f"the {machine.machine} machine takes a non-zero multiple of 4096")
    if machine.flash_limit is not None and sum(sizes) > machine.flash_limit:
        raise Failure(f"{chosen.label}: the executable and the factory store are {sum(sizes)} "
                      f"bytes together; QEMU's flash on the {machine.machine} machine takes at "
                      f"most {machine.flash_limit}")


def _flash_size(path: str, form: str) -> int:
    """The size QEMU sees: a raw file's rounded up to whole 512-byte sectors, a qcow2 image's
    virtual size."""
    if form == "qcow2":
        with open(path, "rb") as image:
            return int.from_bytes(image.read(32)[24:32], "big")
    return (os.path.getsize(path) + 511) // 512 * 512


# --- What the command lines share ----------------------------------------------------------------

def add_arguments(parser: argparse.ArgumentParser, default: Optional[str] = "ovmf") -> None:
    """--firmware, --code and --factory, as scripts/uefi-vm takes them."""
    parser.add_argument("--firmware", default=default, metavar="NAME",
                        help=f"the firmware: {names()}, RELEASE:NAME for another Debian "
                             "release's (trixie:ovmf), a descriptor's name in QEMU's search "
                             "path (scripts/uefi-vm --list-firmware), or a descriptor file"
                             + (f" (default {default})" if default else ""))
    parser.add_argument("--code", metavar="FILE",
                        help="the firmware's executable (its code flash) in place of the "
                             "chosen one's, on the same machine: your own build")
    parser.add_argument("--factory", metavar="FILE",
                        help="the factory variable store that runs start from, in place of the "
                             "chosen firmware's")


def passed_on(args: argparse.Namespace) -> List[str]:
    """The scripts/uefi-vm options that give the firmware ARGS chose, with absolute paths."""
    return resolve(args.firmware, args.code, args.factory).options()


def listing() -> List[str]:
    """One line per firmware found: its name, architecture, whether its files are there, its
    features and its description."""
    short = {named.descriptor: named for named in NAMED}
    rows = [("NAME", "ARCH", "FILES", "FEATURES", "DESCRIPTION")]

    def line(name: str, arch: str, files: str, features: Sequence[str], text: str) -> None:
        rows.append((name, arch, files, ",".join(features) or "-", text))

    found = descriptors()
    for file_name, path in found.items():
        stem = file_name[:-len(".json")]
        named = short.get(stem)
        try:
            chosen = read(path, named.name if named else stem)
        except Failure as failure:
            line(named.name if named else stem, "?", "?", (), f"unreadable: {failure}")
            continue
        missing = [p for p in (chosen.code, chosen.factory) if not os.path.isfile(p)]
        text = f"{named.summary} ({file_name})" if named else chosen.description
        if not path.is_relative_to(search_path()[0]):
            text += f" [{path}]"
        if missing:
            text += f"; missing: {', '.join(missing)}"
        line(chosen.name, chosen.architecture, "missing" if missing else "there", chosen.features,
             text)
    for named in NAMED:
        if f"{named.descriptor}.json" not in found:
            line(named.name, "-", "missing", (), f"{named.summary}: no {named.descriptor}.json "
                                                 f"(install {' '.join(named.packages)})")
    there = "there" if os.path.isfile(UBOOT.code) else "missing"
    line(UBOOT.name, UBOOT.architecture, there, (),
         f"{UBOOT.summary}, described by scripts/uefi-vm")
    for row in releases.rows():
        line(*row)
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    return ["  ".join([*(cell.ljust(width) for cell, width in zip(row, widths)), row[4]])
            for row in rows]


def shown(chosen: Firmware) -> List[str]:
    """What a run on CHOSEN will boot, as "key: value" lines (for --show-firmware)."""
    def yes(value: bool) -> str:
        return "yes" if value else "no"

    def source(path: Optional[str], form: str, given: Optional[str]) -> str:
        """How a file is, and for another release's, the package it came from."""
        package = releases.origin(chosen.release, path) if chosen.release and not given else ""
        return f" ({form}, from {package})" if package else f" ({form})"

    return [f"name: {chosen.name}", f"summary: {chosen.summary}",
            f"architecture: {chosen.architecture}", f"machine: {chosen.machine_name}",
            f"preset: {chosen.machine.preset}",
            f"code: {chosen.code}" + source(chosen.code, chosen.code_format, chosen.given_code),
            f"factory: {chosen.factory or 'none'}"
            + (source(chosen.factory, chosen.factory_format, chosen.given_factory)
               if chosen.factory else ""),
            f"descriptor: {chosen.descriptor or 'none'}",
            f"features: {' '.join(chosen.features) or 'none'}",
            f"smm: {yes(chosen.smm)}", f"secure-boot: {yes(chosen.secure_boot)}",
            f"enrolled-keys: {yes(chosen.enrolled_keys)}", f"u-boot: {yes(chosen.uboot)}"] + (
                [f"release: {chosen.release}", f"package: {chosen.version}"]
                if chosen.release else [])
