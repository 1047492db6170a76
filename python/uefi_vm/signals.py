"""The signals the harness relays to the tool: SIGINT, SIGTERM and SIGHUP are recorded by a handler
that only wakes the VM's loop, which acts on them; a closed standard output shows as EPIPE."""

import signal
import socket
from typing import List, Optional

from .errors import Stopped

RELAYED = {signal.SIGINT: "INT", signal.SIGTERM: "TERM", signal.SIGHUP: "HUP"}

# Signals received and not yet acted on, oldest first; the wake-up socket the handler writes to.
pending: List[int] = []
wakeup: Optional[socket.socket] = None
_wakeup_writer: Optional[socket.socket] = None


def _record(signum, _frame) -> None:
    pending.append(signum)


def catch_signals() -> None:
    """From here on, SIGINT, SIGTERM and SIGHUP are the loop's to handle, not Python's."""
    global wakeup, _wakeup_writer
    reader, writer = socket.socketpair()
    reader.setblocking(False)
    writer.setblocking(False)
    signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
    wakeup, _wakeup_writer = reader, writer
    for signum in RELAYED:
        # One ignored from the start stays so: a script's background job ignores SIGINT.
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _record)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def check_signals() -> None:
    """Between the VM's steps, before the tool runs: a signal ends the run with its status."""
    if pending:
        raise Stopped(128 + pending[0])


def default_on_signal(signum: int) -> None:
    raise Stopped(128 + signum)


def default_on_reader_gone() -> None:
    raise Stopped(128 + signal.SIGPIPE)
