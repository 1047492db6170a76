"""What a run needs from the host: Debian's packages (installed with apt-get on --install, its
output in a log), another release's firmware (fetched into the cache on --install), and the
statically linked tool for the firmware's machine (--tool's, built from a checkout, or the one
installed with the package)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Tuple

from . import firmware as firmwares
from . import guest as guests
from . import paths
from . import releases
from .errors import Failure
from .quiet import log_file, note, quietly
from .signals import check_signals

BUILD_TOOLS = ("cmake", "g++", "make")
CROSS_COMPILER = "g++-aarch64-linux-gnu"
AS_ROOT = "scripts/uefi-vm --install (as root)"


def dpkg_installed(package: str) -> bool:
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            capture_output=True, text=True).stdout
    return "install ok installed" in status


# Whether a Debian package is installed: dpkg's answer, or a test's.
installed: Callable[[str], bool] = dpkg_installed


def apt_install(packages: Sequence[str]) -> None:
    """Installs PACKAGES with apt-get, once more after an update of the package lists when the
    first try fails."""
    names = " ".join(packages)
    note(f"installing {names} (apt-get; its output in {log_file()})")
    command = ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "-o",
               "DPkg::Lock::Timeout=600", *packages]
    try:
        quietly([command], f"apt-get install {names}")
    except Failure:
        quietly([["apt-get", "update", "-qq"], command], f"apt-get install {names}")


def require_root() -> None:
    if os.geteuid() != 0:
        raise Failure(f"installing packages needs root: {AS_ROOT} ...")


def require_dpkg() -> None:
    if not shutil.which("dpkg-query"):
        raise Failure("this script needs Debian's packages (no dpkg-query here)")


def provide(absent: List[str], install: bool, name: str) -> bool:
    """Installs the ABSENT packages when --install, or the user at the prompt, says so; true once
    they are."""
    require_dpkg()
    root = os.geteuid() == 0
    if (not install and root and sys.stdin.isatty() and sys.stderr.isatty()
            and shutil.which("apt-get")):
        sys.stderr.write(f"uefi-vm: missing packages: {' '.join(absent)}. Install them now "
                         "with apt-get? [y/N] ")
        sys.stderr.flush()
        install = sys.stdin.readline().strip().lower().startswith("y")
    if not install:
        raise Failure(f"missing packages: {' '.join(absent)} (install them with: scripts/uefi-vm "
                      f"--firmware {name} --install ... as root, or apt-get install "
                      f"{' '.join(absent)})")
    require_root()
    apt_install(absent)
    return True


def chosen_firmware(name: str, code: Optional[str], factory: Optional[str],
                    install: bool) -> Tuple[firmwares.Firmware, bool]:
    """The firmware NAME stands for, and whether packages may be installed. A short name whose
    package is not installed yet has no descriptor to read: its package is installed first, as
    INSTALL or the prompt allow; another release's firmware is fetched first, on INSTALL."""
    try:
        return firmwares.resolve(name, code, factory), install
    except releases.NotFetched as absent:
        if not install:
            raise
        releases.fetch(absent.release)
        return firmwares.resolve(name, code, factory), install
    except Failure:
        absent = [package for package in firmwares.packages_of(name) if not installed(package)]
        if not absent:
            raise
    install = provide(absent, install, name)
    return firmwares.resolve(name, code, factory), install


def missing(chosen: firmwares.Firmware, kernel: Optional[str], builds: bool) -> List[str]:
    """The packages a run on CHOSEN needs that are not installed; BUILDS: the tool is built
    here."""
    wanted = [chosen.machine.qemu_package, "qemu-utils", *chosen.packages, "busybox-static",
              "kmod"]
    absent = [package for package in wanted if not installed(package)]
    if chosen.machine_name == "x86_64" and kernel is None and guests.host_kernel() is None:
        absent.append("linux-image-cloud-amd64")
    if builds and chosen.machine_name == "aarch64" and not shutil.which("aarch64-linux-gnu-g++"):
        absent.append(CROSS_COMPILER)
    return absent


def packages(chosen: firmwares.Firmware, install: bool = False, kernel: Optional[str] = None,
             given_tool: bool = False) -> None:
    """Makes sure the packages a run on CHOSEN needs are there, installing them as INSTALL or the
    prompt allow; and for AArch64, with INSTALL, dpkg's arm64 architecture."""
    require_dpkg()
    builds = not given_tool and paths.checkout() is not None
    absent = missing(chosen, kernel, builds)
    if absent:
        install = provide(absent, install, chosen.name)
        still = missing(chosen, kernel, builds)
        if still:
            raise Failure(f"still missing after installing: {' '.join(still)}")
    if install:
        require_root()
        if chosen.machine_name == "aarch64":
            add_arm64()


def add_arm64() -> None:
    """The AArch64 guest's kernel and busybox come from Debian's arm64 packages, downloaded and
    unpacked into the cache: that needs arm64 in dpkg's architectures and its package lists."""
    foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True,
                             text=True).stdout.split()
    steps = [["apt-get", "update", "-qq"]]
    if "arm64" not in foreign:
        steps.insert(0, ["dpkg", "--add-architecture", "arm64"])
    elif subprocess.run(["apt-cache", "show", "busybox-static:arm64"],
                        capture_output=True).returncode == 0:
        return
    note(f"adding the arm64 architecture to dpkg, for the AArch64 guest's packages "
                f"(its output in {log_file()})")
    quietly(steps, "adding the arm64 architecture")


def tool(firmware: firmwares.Firmware, given: Optional[Path] = None,
         install: bool = False) -> Path:
    """The statically linked tool for FIRMWARE's machine: GIVEN, or built from the checkout with
    the machine's CMake preset (its messages on standard error only when it fails), or, installed,
    the one that comes with the package."""
    root = paths.checkout()
    if given is not None:
        found = Path(given)
    elif root is not None:
        found = build(root, firmware.machine.preset, firmware.machine_name, install)
    else:
        found = paths.shipped_tool(firmware.machine_name)
    if not os.access(found, os.X_OK) or not found.is_file():
        raise Failure(f"no executable tool at {found}")
    return found


def build(root: Path, preset: str, machine_name: str, install: bool) -> Path:
    if install:
        wanted = list(BUILD_TOOLS) + ([CROSS_COMPILER] if machine_name == "aarch64" else [])
        absent = [package for package in wanted if not installed(package)]
        if absent:
            require_root()
            apt_install(absent)
    if not shutil.which("cmake"):
        raise Failure(f"cmake is missing: install it, or give {AS_ROOT}")
    steps = [["cmake", "--build", "--preset", preset, "-j", "2"]]
    made = root / "build" / preset
    if not any((made / name).exists() for name in ("Makefile", "build.ninja")):
        # Never configured, or a configure that failed (a compiler not installed yet): its cache
        # would keep what it failed to find, so it goes.
        (made / "CMakeCache.txt").unlink(missing_ok=True)
        shutil.rmtree(made / "CMakeFiles", ignore_errors=True)
        note(f"building the tool (CMake preset {preset})")
        steps.insert(0, ["cmake", "--preset", preset])
    for step in steps:
        built = subprocess.run(step, cwd=root, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if built.returncode:
            check_signals()
            sys.stderr.buffer.write(built.stdout)
            raise Failure(f"building the static tool (preset {preset}) failed")
    return root / "build" / preset / "kestomandrel"
