"""The VM's console, a file QEMU writes: its text without the firmware's terminal controls, its
last lines for messages, and the CPU exception a firmware reports there."""

import re
import time
from pathlib import Path
from typing import Optional

from .text import strip_ansi

# How edk2 reports a CPU exception on the console, x86 and AArch64; it then stops for good.
EXCEPTION = re.compile(r"(?:X64|IA32) Exception Type - .*|Synchronous Exception at .*|"
                       r"Unhandled Exception.*")
EXCEPTION_DUMP = 3.0  # seconds the firmware has to print the rest of its report
CHECK_EVERY = 0.5  # seconds between two readings of the console for an exception


class Console:
    def __init__(self, path: Path):
        self.path = path
        self.checked = 0.0
        self.exception_seen: Optional[float] = None

    def written(self) -> bool:
        try:
            return self.path.stat().st_size > 0
        except OSError:
            return False

    def text(self) -> str:
        try:
            text = self.path.read_bytes().decode(errors="replace").replace("\r", "")
        except OSError:
            return ""
        return strip_ansi(text)

    def tail(self, lines: int = 20) -> str:
        return "\n".join(self.text().splitlines()[-lines:])

    def exception(self) -> Optional[str]:
        """The CPU exception the firmware reported, once its report is whole (the image it names,
        or a few seconds after its first line); None before."""
        now = time.monotonic()
        if now - self.checked < CHECK_EVERY:
            return None
        self.checked = now
        text = self.text()
        found = EXCEPTION.search(text)
        if found is None:
            return None
        if self.exception_seen is None:
            self.exception_seen = now
        if "Find image" in text[found.end():] or now - self.exception_seen >= EXCEPTION_DUMP:
            return found.group(0).strip()
        return None
