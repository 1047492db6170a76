"""A running VM: the QEMU process, its monitor, the agent's channels and the console, served by one
loop over poll(), which also watches the harness's signals, its timers and whether the reader of
its standard output is still there.

QEMU connects five sockets of ours: the agent's control port, the running command's standard
output and standard error, the signal port (signal names for the command), and QEMU's own monitor
(QMP)."""

import os
import select
import stat
import time
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional

from . import signals
from .agent import Agent
# EXCEPTION and debug_said: the benches read consoles and debug output too.
from .console import EXCEPTION, Console, debug_said  # noqa: F401
from .errors import Failure
from .process import Qemu
from .qmp import Monitor

MONITOR_POLL = 0.5  # seconds between the monitor commands that wake a sleeping guest


@dataclass
class Timer:
    """An action that runs once, when its time (monotonic) has come; None once it has run."""

    when: Optional[float]
    action: Callable[[], None]


def _is_pipe(fd: int) -> bool:
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class Vm:
    """QEMU started with COMMAND in WORK, and everything of it the loop serves; closed, QEMU is
    killed and every channel closed."""

    def __init__(self, command: List[str], work: Path, describe: str, watch_stdout: bool):
        self.describe = describe
        self.console = Console(work / "console.log")
        self.stack = ExitStack()
        with self.stack:
            self.qemu = self.stack.enter_context(Qemu(command, work, describe))
            sockets = self.qemu.sockets
            self.agent = Agent(sockets["control"], sockets["stdout"], sockets["stderr"],
                               sockets["signal"])
            self.monitor_ = Monitor(sockets["qmp"])
            self.on_signal: Callable[[int], None] = signals.default_on_signal
            self.on_reader_gone: Callable[[], None] = signals.default_on_reader_gone
            self.last_poll = 0.0
            self._watch(watch_stdout)
            # QEMU answers once it has restored a saved VM, which takes a second or so.
            self.monitor("qmp_capabilities", wait=60)
            self.stack = self.stack.pop_all()

    def _watch(self, watch_stdout: bool) -> None:
        self.poller = select.poll()
        self.served = {}
        for name in ("control", "stdout", "stderr", "qmp"):
            sock = self.qemu.sockets[name]
            sock.setblocking(False)
            self.poller.register(sock.fileno(), select.POLLIN)
            self.served[sock.fileno()] = name
        if signals.wakeup is not None:
            self.poller.register(signals.wakeup.fileno(), select.POLLIN)
        # A reader of standard output that goes away shows as an error on the pipe at once.
        if watch_stdout and _is_pipe(1):
            self.poller.register(1, 0)

    def __enter__(self) -> "Vm":
        return self

    def __exit__(self, *_exception) -> None:
        self.close()

    def close(self) -> None:
        self.stack.close()

    def kill(self) -> None:
        self.qemu.kill()

    def quit(self) -> None:
        self.qemu.quit()

    # --- The loop -----------------------------------------------------------------------------

    def pump(self, until: Callable[[], bool], timers: Optional[List[Timer]] = None) -> None:
        """Serves every channel until `until()` holds. Each signal received goes to
        `self.on_signal`; each timer runs its action once, when its time has come."""
        timers = timers if timers is not None else []
        while not until():
            now = time.monotonic()
            while signals.pending:
                self.on_signal(signals.pending.pop(0))
            if self.qemu.ended():
                raise Failure(self.qemu.stopped_message())
            for timer in timers:
                if timer.when is not None and now >= timer.when:
                    timer.when = None
                    timer.action()
            if now - self.last_poll >= MONITOR_POLL and not self.qemu.quitting:
                # QEMU 7.2 under software emulation now and then never wakes a guest that sleeps
                # on a timer; any monitor command wakes it.
                self.last_poll = now
                self.monitor("query-status")
            if until():
                break
            waits = [MONITOR_POLL] + [timer.when - now for timer in timers
                                      if timer.when is not None]
            for fd, _events in self.poller.poll(max(0.0, min(waits)) * 1000):
                self._serve(fd)

    def _serve(self, fd: int) -> None:
        if signals.wakeup is not None and fd == signals.wakeup.fileno():
            try:
                signals.wakeup.recv(4096)
            except BlockingIOError:
                pass
            return
        if fd == 1:
            self.poller.unregister(1)
            self.on_reader_gone()
            return
        name = self.served[fd]
        try:
            data = self.qemu.sockets[name].recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""  # QEMU went away: the loop sees that it has ended
        if not data:
            self.poller.unregister(fd)
        elif name == "control":
            self.agent.feed(data)
        elif name == "qmp":
            self.monitor_.feed(data)
        else:
            self.agent.stream(name, data)

    def wait_line(self, limit: float, too_late: Callable[[], None],
                  timers: Optional[List[Timer]] = None,
                  watch: Optional[Callable[[], None]] = None) -> str:
        """The agent's next line, within LIMIT seconds (then TOO_LATE); WATCH, when given, runs
        while nothing has come. A FAIL line is the VM's failure."""
        taken: List[str] = []

        def arrived() -> bool:
            line = self.agent.take_line()
            if line is not None:
                taken.append(line)
            elif watch is not None:
                watch()
            return bool(taken)

        self.pump(arrived, [Timer(time.monotonic() + limit, too_late), *(timers or [])])
        if taken[0].startswith("FAIL "):
            raise Failure(f"{self.describe}: in the VM: {taken[0][5:]}")
        return taken[0]

    # --- The monitor --------------------------------------------------------------------------

    def monitor(self, command: str, arguments: Optional[dict] = None,
                wait: Optional[float] = None) -> dict:
        """Sends a QMP command; with `wait`, waits that many seconds at most for its answer.
        Signals that come meanwhile wait for the loop that comes after."""
        try:
            number = self.monitor_.send(command, arguments, keep=wait is not None)
        except OSError:
            if self.qemu.quitting:
                return {}
            raise Failure(self.qemu.stopped_message())
        if wait is None:
            return {}

        def too_late() -> None:
            raise Failure(f"{self.describe}: QEMU's monitor did not answer {command}")

        replies: List[dict] = []

        def answered() -> bool:
            reply = self.monitor_.take(number)
            if reply is not None:
                replies.append(reply)
            return bool(replies)

        deferred: List[int] = []
        on_signal, self.on_signal = self.on_signal, deferred.append
        try:
            self.pump(answered, [Timer(time.monotonic() + wait, too_late)])
        finally:
            self.on_signal = on_signal
            signals.pending[:0] = deferred
            self.monitor_.give_up(number)
        if "error" in replies[0]:
            raise Failure(f"{self.describe}: QEMU's {command} failed: "
                          f"{replies[0]['error'].get('desc', replies[0]['error'])}")
        return replies[0].get("return", {})

    def ask(self, command: str, arguments: Optional[dict] = None) -> Optional[int]:
        """Sends a QMP command without waiting: its number, whose answer `answer` gives once it
        has come; None when QEMU has gone (the loop sees that)."""
        try:
            return self.monitor_.send(command, arguments, keep=True)
        except OSError:
            return None

    def answer(self, number: int) -> Optional[dict]:
        return self.monitor_.take(number)

    def human(self, command: str, wait: float) -> str:
        """A command of QEMU's human monitor (savevm); its text, which is empty on success."""
        return self.monitor("human-monitor-command", {"command-line": command}, wait=wait)
