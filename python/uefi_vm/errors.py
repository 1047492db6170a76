"""How a run of the harness ends other than with the tool's status."""

import argparse
import sys
from typing import Optional

FAILED = 125  # the harness's own failures; the tool itself exits with 0, 1 or 255
CUT = 137  # --cut-after cut the power: 128 + SIGKILL, which ended QEMU


class Failure(Exception):
    """The harness or the VM failed: the message goes to standard error and the status is 125.
    CONSOLE is the VM's console's last lines, shown before the message: None while no VM was
    there to ask, "" when there is nothing to show (or the message says them itself)."""

    def __init__(self, message: str, console: Optional[str] = None):
        super().__init__(message)
        self.console = console


class Stopped(Exception):
    """The run ends early with this exit status, e.g. 130 after Ctrl-C before the tool started,
    or 141 when the reader of standard output went away."""

    def __init__(self, status: int, message: str = ""):
        super().__init__(message)
        self.status = status


class UsageParser(argparse.ArgumentParser):
    """argparse whose mistakes print the usage and one line, "NAME: message", and exit with 125,
    as every program's own failures do. NAME is the program's short name (power-cut)."""

    def __init__(self, *args, name: str, **kwargs):
        super().__init__(*args, **kwargs)
        self.short_name = name

    def error(self, message: str) -> None:
        self.print_usage(sys.stderr)
        print(f"{self.short_name}: {message}", file=sys.stderr)
        sys.exit(FAILED)
