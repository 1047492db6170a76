"""The guest: a Debian kernel, busybox, the kernel modules it needs and the agent's init, packed
into an initramfs that is the same bytes whenever its contents are, so a saved VM can be known by
them. The tool and the data files are not in it: the agent receives them at every run."""

import fcntl
import gzip
import lzma
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from . import paths
from .errors import Failure
from .firmware import Firmware
from .quiet import log_file, note, quietly

PASSWD = b"root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000:user:/work:/bin/sh\n"
GROUP = b"root:x:0:\nuser:x:1000:\n"

AS_USER = b"""#!/bin/sh
# Runs a command as the unprivileged "user" (uid 1000).
exec su -s /bin/sh user -c 'exec "$0" "$@"' "$@"
"""

# Runs one of the host's shell lines for the agent, as the leader of its own process group (the
# agent sends the host's signals to that group). It outlives the signals itself, so its status is
# the line's. The line's standard error is descriptor 9; this script's own, where its job messages
# such as "Terminated" would go, goes nowhere.
# The line is not its shell's last command: busybox sh runs a last command in its own place,
# ignoring SIGQUIT as that shell does; forked, a command starts with the default reaction to every
# signal, as from an interactive shell. (An explicit "exec" resets them too.)
RUN_LINE = b"""#!/bin/sh
trap : INT TERM HUP QUIT PIPE
echo $$ >/tmp/pgid
sh -c "exec 2>&9 9>&-
$1
exit \\$?"
"""


@dataclass
class Guest:
    kernel: Path
    busybox: Path
    modules: Path  # the kernel's /lib/modules/VERSION
    config: Optional[Path]  # the kernel's /boot/config-VERSION, when there is one


def host_kernel() -> Optional[Path]:
    kernels = sorted(Path("/boot").glob("vmlinuz-*"), key=lambda p: _version_key(p.name))
    return kernels[-1] if kernels else None


def _version_key(name: str) -> List:
    parts = []
    for piece in name.replace("-", ".").split("."):
        parts.append((0, int(piece), "") if piece.isdigit() else (1, 0, piece))
    return parts


def locate(firmware: Firmware, kernel: Optional[str]) -> Guest:
    """The kernel, busybox and module tree for the firmware's machine."""
    if firmware.machine_name == "x86_64":
        guest_root = Path("/")
        chosen = Path(kernel) if kernel else host_kernel()
        if chosen is None:
            raise Failure("no kernel in /boot (install linux-image-cloud-amd64, or give --kernel)")
        busybox = Path("/bin/busybox")
    else:
        guest_root = fetch_arm64(paths.cache() / "arm64")
        arm_kernels = sorted((guest_root / "boot").glob("vmlinuz-*"),
                             key=lambda p: _version_key(p.name))
        chosen = Path(kernel) if kernel else (arm_kernels[-1] if arm_kernels else None)
        if chosen is None:
            raise Failure(f"no arm64 kernel in {guest_root}/boot")
        busybox = guest_root / "bin/busybox"
    if not chosen.is_file():
        raise Failure(f"no kernel at {chosen}")
    if not os.access(chosen, os.R_OK):
        raise Failure(f"cannot read {chosen} (Debian keeps kernels readable by root only): "
                      "run as root")
    if not os.access(busybox, os.X_OK):
        raise Failure(f"no busybox at {busybox}")
    version = chosen.name[len("vmlinuz-"):]
    config = guest_root / f"boot/config-{version}"
    return Guest(chosen, busybox, guest_root / f"lib/modules/{version}",
                 config if config.is_file() else None)


def fetch_arm64(cache: Path) -> Path:
    """Unpacks Debian's arm64 kernel and busybox into CACHE/root, once: downloaded with apt-get,
    never installed. Runs started side by side wait for the one that fetches."""
    guest_root = cache / "root"
    if (cache / "ready").exists():
        return guest_root
    cache.parent.mkdir(parents=True, exist_ok=True)
    with open(cache.parent / f"{cache.name}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (cache / "ready").exists():
            _fetch_arm64(cache, guest_root)
    return guest_root


def _fetch_arm64(cache: Path, guest_root: Path) -> None:
    foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True,
                             text=True).stdout.split()
    if "arm64" not in foreign:
        raise Failure("the AArch64 guest needs Debian's arm64 packages: run with --install as "
                      "root (adds the arm64 architecture)")
    depends = subprocess.run(["apt-cache", "depends", "linux-image-cloud-arm64:arm64"],
                             capture_output=True, text=True).stdout
    packages = [line.split()[1] for line in depends.splitlines()
                if line.strip().startswith("Depends: linux-image-")]
    if not packages:
        raise Failure("no arm64 kernel in the package lists (run apt-get update, or --install "
                      "as root)")
    kernel_package = packages[0].removesuffix(":arm64")
    note(f"fetching {kernel_package} and busybox-static for arm64 into {cache} (apt-get; its "
         f"output in {log_file()})")
    subprocess.run(["rm", "-rf", str(cache)], check=True)
    debs = cache / "debs"
    debs.mkdir(parents=True)
    guest_root.mkdir()
    # apt's download user cannot write under build/: let it fetch into a directory it may use.
    os.chmod(debs, 0o777)
    quietly([["apt-get", "download", "-q", f"{kernel_package}:arm64", "busybox-static:arm64"]],
            "apt-get download of the arm64 kernel and busybox", cwd=debs)
    for deb in sorted(debs.glob("*.deb")):
        if subprocess.run(["dpkg-deb", "-x", str(deb), str(guest_root)]).returncode != 0:
            raise Failure(f"cannot unpack {deb}")
    subprocess.run(["rm", "-rf", str(debs)], check=True)
    (cache / "ready").touch()


# The kernel options of the modules whose option is not their name in capitals.
KERNEL_OPTIONS = {"efivarfs": "CONFIG_EFIVAR_FS"}


def kernel_option(module: str) -> str:
    """The kernel's configuration option that builds MODULE, in or as a module; a module's name
    is the same with "-" or "_"."""
    name = module.replace("-", "_")
    return KERNEL_OPTIONS.get(name) or "CONFIG_" + name.upper()


def module_index(tree: Path) -> Dict[str, List[Path]]:
    """The module TREE's files by module name, spelt with "_": from depmod's modules.dep, which
    names every one, or else found in the tree (reading the list is a thousand times quicker than
    walking the tree)."""
    listed = tree / "modules.dep"
    if listed.is_file():
        files = [tree / line.split(":", 1)[0] for line in listed.read_text().splitlines()
                 if ":" in line]
    else:
        files = [Path(top) / name for top, _, names in os.walk(tree) for name in names]
    index: Dict[str, List[Path]] = {}
    for path in files:
        stem, dot_ko, _ = path.name.partition(".ko")
        if dot_ko:
            index.setdefault(stem.replace("-", "_"), []).append(path)
    return index


def module_files(tree: Path, module: str,
                 index: Optional[Dict[str, List[Path]]] = None) -> List[Path]:
    """MODULE's files in the module TREE (or its INDEX), whichever of "-" and "_" its file name
    spells it with."""
    index = module_index(tree) if index is None else index
    return sorted(index.get(module.replace("-", "_"), []))


def modules(guest: Guest, names: Tuple[str, ...]) -> List[Tuple[str, bytes]]:
    """The modules NAMES and everything they depend on, in an order that loads each one's
    dependencies first; none for what the kernel has built in."""
    loaded: Dict[str, bool] = {}
    ordered: List[Tuple[str, bytes]] = []
    config = guest.config.read_text() if guest.config else ""
    index = module_index(guest.modules)

    def add(name: str) -> None:
        if name.replace("-", "_") in loaded:
            return
        loaded[name.replace("-", "_")] = True
        symbol = kernel_option(name)
        if f"\n{symbol}=y\n" in config:
            return
        found = module_files(guest.modules, name, index)
        if not found:
            if config and f"\n{symbol}=m\n" not in config:
                return
            raise Failure(f"{guest.kernel} needs the module {name}, but {guest.modules} has no "
                          f"{name}.ko (install the kernel's package)")
        path = found[0]
        depends = subprocess.run(["modinfo", "-F", "depends", str(path)], capture_output=True,
                                 text=True).stdout.strip()
        for dependency in filter(None, depends.split(",")):
            add(dependency)
        ordered.append((name, _unpacked(path)))

    for name in ("efivarfs",) + names:
        add(name)
    return ordered


def _unpacked(path: Path) -> bytes:
    data = path.read_bytes()
    if path.name.endswith(".ko.xz"):
        return lzma.decompress(data)
    if path.name.endswith(".ko.gz"):
        return gzip.decompress(data)
    if path.name.endswith(".ko.zst"):
        unpacked = subprocess.run(["zstd", "-qdc", str(path)], capture_output=True)
        if unpacked.returncode != 0:
            raise Failure(f"cannot unpack the module {path}")
        return unpacked.stdout
    return data


def applets(guest: Guest) -> set:
    """The applets busybox has: the host's busybox lists them, or the guest's when it runs here."""
    for busybox in ("/bin/busybox", str(guest.busybox)):
        try:
            listing = subprocess.run([busybox, "--list"], capture_output=True, text=True)
        except OSError:
            continue
        if listing.returncode == 0:
            return set(listing.stdout.split())
    return set()


def initramfs(guest: Guest, firmware: Firmware, init: Path) -> bytes:
    """The initramfs as a newc cpio archive, with every time stamp and owner fixed."""
    entries: List[Tuple[str, int, bytes]] = []
    for directory in ("bin", "dev", "proc", "sys", "etc", "tmp", "work", "lib", "lib/modules"):
        entries.append((directory, 0o040755, b""))
    entries.append(("bin/busybox", 0o100755, guest.busybox.read_bytes()))
    # The host's busybox lists the applets: the guest's may be built for another CPU, but comes
    # from the same Debian package.
    for applet in sorted(applets(guest) - {"busybox"}):
        entries.append((f"bin/{applet}", 0o120777, b"busybox"))
    for index, (_, data) in enumerate(modules(guest, firmware.machine.modules)):
        entries.append((f"lib/modules/{index:02d}.ko", 0o100644, data))
    entries += [
        ("init", 0o100755, init.read_bytes()),
        ("bin/as-user", 0o100755, AS_USER),
        ("bin/kmvm-run", 0o100755, RUN_LINE),
        ("etc/passwd", 0o100644, PASSWD),
        ("etc/group", 0o100644, GROUP),
        ("etc/shells", 0o100644, b"/bin/sh\n"),
    ]
    return cpio(entries)


def cpio(entries: List[Tuple[str, int, bytes]]) -> bytes:
    """A newc archive of (path, mode, data) entries; a symbolic link's data is its target."""
    out = bytearray()

    def pad() -> None:
        out.extend(b"\0" * (-len(out) % 4))

    for number, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], start=1):
        encoded = name.encode() + b"\0"
        is_directory = mode & 0o170000 == 0o040000
        fields = (number, mode, 0, 0, 2 if is_directory else 1, 0, len(data), 0, 0, 0, 0,
                  len(encoded), 0)
        out += b"070701" + b"".join(b"%08X" % field for field in fields) + encoded
        pad()
        out += data
        pad()
    return bytes(out)
