"""Where the harness finds its own files, in a checkout of the project or installed.

From a checkout (the shims scripts/uefi-vm and bench/*, or python3 -m with python/ on the path),
the tool is built there with CMake, and the cache of saved VMs and fetched guests is
build/uefi-vm-cache/.
Installed (the kestomandrel-vm package), the statically linked tools come with the package and
the cache is the user's: $XDG_CACHE_HOME/kestomandrel-vm, or ~/.cache/kestomandrel-vm."""

import os
import shutil
import sys
from pathlib import Path
from typing import List, Optional

PACKAGE = Path(__file__).resolve().parent
AGENT = PACKAGE / "agent.sh"  # the guest's init: the agent that runs the commands
# Where the package installs its statically linked tools, one per guest machine.
INSTALLED_TOOLS = Path("/usr/lib/kestomandrel-vm")
# Where the kestomandrel package installs the tool's UEFI builds, for --shell.
INSTALLED_EFI = Path("/usr/lib/kestomandrel")


def checkout() -> Optional[Path]:
    """The project's checkout this package runs from, or None when it is installed."""
    root = PACKAGE.parents[1]
    if (root / "CMakePresets.json").is_file() and (root / "python" / "uefi_vm") == PACKAGE:
        return root
    return None


def cache() -> Path:
    """The cache of saved VMs, fetched guests and fetched firmware."""
    root = checkout()
    if root is not None:
        return root / "build/uefi-vm-cache"
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "kestomandrel-vm"


def shipped_tool(machine_name: str) -> Path:
    """The installed package's statically linked tool for a guest machine (x86_64, aarch64)."""
    return INSTALLED_TOOLS / f"kestomandrel-{machine_name}"


def program(checkout_name: str, installed_name: str) -> str:
    """A program's name in its messages and help: its shim's path in a checkout
    (bench/power-cut), its command when installed (kestomandrel-power-cut)."""
    return checkout_name if checkout() is not None else installed_name


def results() -> Path:
    """Where the benches keep what they find (the power cuts' reproducers): the checkout's
    build/, or the user's cache."""
    root = checkout()
    return root / "build" if root is not None else cache()


def harness() -> List[str]:
    """The command that runs the harness itself (scripts/uefi-vm, or the installed
    kestomandrel-vm), for the benches that drive it run by run."""
    root = checkout()
    if root is not None:
        return [str(root / "scripts/uefi-vm")]
    return [sys.executable, "-m", "uefi_vm"]


def loop_report() -> Path:
    """The report on the loop: the checkout's, or the one installed with the tool."""
    root = checkout()
    if root is not None:
        return root / "report/kestomandrel-loop-report"
    found = shutil.which("kestomandrel-loop-report")
    return Path(found) if found else Path("/usr/bin/kestomandrel-loop-report")
