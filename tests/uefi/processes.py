"""The QEMU processes running on this machine, as /proc shows them, for the tests that make sure
no VM outlives its run."""

from pathlib import Path
from typing import List, Optional, Tuple


def qemus(parent: Optional[int] = None, naming: Optional[Path] = None) -> List[Tuple[int, list]]:
    """Every QEMU process (its pid and its command line's words, as bytes) whose parent is PARENT
    and whose command line names NAMING, when they are given."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            words = (entry / "cmdline").read_bytes().split(b"\0")
            stat = (entry / "stat").read_text()
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if b"qemu" not in words[0] or (parent is not None and ppid != parent):
            continue
        if naming is not None and not any(str(naming).encode() in word for word in words):
            continue
        found.append((int(entry.name), words))
    return found
