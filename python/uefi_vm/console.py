"""The VM's console, a file QEMU writes: its text without the firmware's terminal controls, its
last lines for messages, and the CPU exception a firmware reports there; and what the firmware's
debug output says (a DEBUG build's first failed ASSERT, or its last lines)."""

import re
import time
from pathlib import Path
from typing import Dict, List, Optional

from .text import strip_ansi

# How edk2 reports a CPU exception on the console, x86 and AArch64; it then stops for good.
EXCEPTION = re.compile(r"(?:X64|IA32) Exception Type - .*|Synchronous Exception at .*|"
                       r"Unhandled Exception.*")
# How edk2's DebugLib reports a failed assertion: "ASSERT [Module] File.c(Line): Expression"
# ("ASSERT File.c(Line): ..." before edk2 named the module), after "ASSERT_EFI_ERROR (Status =
# ...)" for ASSERT_EFI_ERROR. A DEBUG build then stops (a dead loop); a RELEASE build has none.
ASSERT = re.compile(r"\bASSERT(?:_EFI_ERROR|_RETURN_ERROR)?(?![A-Za-z]) ?(?:\[[^\]]*\] )?\S*\(")
DEBUG_LAST = 3  # the debug output's lines quoted when it has no ASSERT
# Seconds a firmware's debug output stays quiet after an ASSERT before the firmware counts as
# stopped: edk2's DEBUG builds then spin for good (PcdDebugPropertyMask's dead loop), a build
# whose ASSERTs do not stop it writes on.
ASSERT_QUIET = 5.0
QUOTED = 300  # characters of a line quoted at most
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


def lines_of(text: str) -> List[str]:
    """TEXT's non-empty lines, without terminal controls or the spaces around them."""
    return [line.strip() for line in strip_ansi(text.replace("\r", "")).splitlines()
            if line.strip()]


def first_assert(text: str) -> Optional[str]:
    """The first failed ASSERT in a firmware's debug output, with the line that follows an
    ASSERT_EFI_ERROR's status (the assertion's file and line); None without one."""
    lines = lines_of(text)
    for at, line in enumerate(lines):
        found = ASSERT.search(line)
        if found is None:
            continue
        said = line[found.start():][:QUOTED]
        following = lines[at + 1:at + 2]
        if "_ERROR" in found.group(0) and following and ASSERT.search(following[0]):
            said += " | " + following[0][ASSERT.search(following[0]).start():][:QUOTED]
        return said
    return None


def debug_said(debug: str, console: str) -> Dict[str, str]:
    """What a firmware's DEBUG output says of a boot that failed: its first ASSERT
    ({"assert": line}), or else its last lines ({"debug": "a | b | c"}) when it is not the
    console itself (AArch64's, whose last lines the console's diagnosis quotes); {} when it is
    empty, as a RELEASE build's is."""
    asserted = first_assert(debug)
    if asserted:
        return {"assert": asserted}
    lines = lines_of(debug)
    if lines and debug != console:
        return {"debug": " | ".join(line[:QUOTED] for line in lines[-DEBUG_LAST:])}
    return {}


class DebugWatch:
    """A firmware's debug output as QEMU writes it, read as it grows: the first ASSERT, once the
    output has stayed quiet after it for ASSERT_QUIET seconds."""

    def __init__(self, path: Path):
        self.path = path
        self.offset = 0
        self.partial = b""  # the last line read, not ended yet
        self.asserted: Optional[str] = None
        self.grew = time.monotonic()
        self.checked = 0.0

    def stopped(self) -> Optional[str]:
        now = time.monotonic()
        if now - self.checked < CHECK_EVERY:
            return None
        self.checked = now
        try:
            with open(self.path, "rb") as output:
                output.seek(self.offset)
                fresh = output.read()
        except OSError:
            fresh = b""
        if fresh:
            self.offset += len(fresh)
            self.grew = now
            if self.asserted is None:
                text = self.partial + fresh
                ended, _, self.partial = text.rpartition(b"\n")
                self.asserted = first_assert(ended.decode(errors="replace"))
        if self.asserted is not None and now - self.grew >= ASSERT_QUIET:
            return self.asserted
        return None
