"""The harness's own words on standard error, and the host's programs it runs quietly (apt-get,
dpkg): their output goes to a log, whose last lines are shown only when one fails."""

import os
import subprocess
import sys
from pathlib import Path
from typing import Optional, Sequence

from . import paths
from .errors import Failure
from .signals import check_signals

LOG_TAIL = 20  # lines of a failed program's log shown


def note(text: str) -> None:
    os.write(2, f"uefi-vm: {text}\n".encode())


def log_file() -> Path:
    return paths.cache() / "apt.log"


def quietly(steps: Sequence[Sequence[str]], what: str, cwd: Optional[Path] = None) -> None:
    """Runs STEPS one after the other, their output in the log, until one fails; then the log's
    last lines go to standard error and the run fails with WHAT."""
    log = log_file()
    log.parent.mkdir(parents=True, exist_ok=True)
    environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    with open(log, "ab") as output:
        for step in steps:
            output.write(f"$ {' '.join(step)}\n".encode())
            output.flush()
            if subprocess.run(step, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT, env=environment, cwd=cwd).returncode:
                break
        else:
            return
    check_signals()
    lines = log.read_text(errors="replace").splitlines()[-LOG_TAIL:]
    sys.stderr.write("".join(f"  {line}\n" for line in lines))
    raise Failure(f"{what} failed (its output in {log})")
