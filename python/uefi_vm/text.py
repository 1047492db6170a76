"""Small pieces of text every program of the package shares: the global GUID, bytes as the tool
prints them, the firmware console's escape sequences, and the progress lines on standard error."""

import re
import sys
import time
import uuid
from typing import Callable, Optional

# EFI_GLOBAL_VARIABLE: the GUID of UEFI's own variables, and of the loop's variable.
GLOBAL = uuid.UUID("8be4df61-93ca-11d2-aa0d-00e098032b8c")
GLOBAL_BRACED = "{" + str(GLOBAL).upper() + "}"  # as the tool's command line takes it

# The escape sequences a firmware's console writes (colours, cursor moves, mode changes).
ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")


def strip_ansi(text: str) -> str:
    return ANSI.sub("", text)


def hex_text(data: Optional[bytes]) -> Optional[str]:
    """BYTES as the tool's hex view shows them, "2A 00 00 00"; None stays None."""
    return None if data is None else " ".join(f"{byte:02X}" for byte in data)


def progress_printer(program: str, width: int = 6) -> Callable[[str], None]:
    """A function that writes PROGRAM's progress lines on standard error, each with the seconds
    since this call, WIDTH columns wide: "power-cut: [  12.3 s] text"."""
    started = time.monotonic()

    def progress(line: str) -> None:
        print(f"{program}: [{time.monotonic() - started:{width}.1f} s] {line}", file=sys.stderr,
              flush=True)

    return progress
