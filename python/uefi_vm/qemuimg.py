"""qemu-img, for the variable stores: a firmware's factory template as a raw kept store, or as the
qcow2 image a run writes (and its saved VM goes into)."""

import subprocess
from pathlib import Path

from .errors import Failure
from .firmware import Firmware


def run(*args: str) -> None:
    made = subprocess.run(["qemu-img", *args], capture_output=True, text=True)
    if made.returncode:
        raise Failure(f"qemu-img {' '.join(args)} failed: {made.stderr.strip()}")


def raw_copy(firmware: Firmware, dest: Path) -> None:
    """FIRMWARE's factory store as a raw file at DEST, whatever the template's format."""
    if firmware.factory_format == "raw":
        subprocess.run(["cp", "--sparse=always", firmware.factory, str(dest)], check=True)
    else:
        run("convert", "-f", firmware.factory_format, "-O", "raw", firmware.factory, str(dest))


def qcow2_copy(firmware: Firmware, dest: Path) -> None:
    """FIRMWARE's factory store as a qcow2 image at DEST; for one without a store (U-Boot), an
    empty image that a saved VM can go into."""
    dest.unlink(missing_ok=True)
    if firmware.factory is None:
        run("create", "-f", "qcow2", str(dest), "1M")
    else:
        run("convert", "-f", firmware.factory_format, "-O", "qcow2", firmware.factory, str(dest))
