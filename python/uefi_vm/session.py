"""One QEMU process and the channels to the agent in its guest.

QEMU connects five sockets of ours: the agent's control port (lines both ways, and the bytes of
files sent to it), the running command's standard output and standard error (its bytes as it writes
them), the signal port (signal names for the command), and QEMU's own monitor (QMP). Everything is
served by one loop over poll(), which also watches this script's signals, its timers and whether the
reader of its standard output is still there."""

import ctypes
import json
import os
import re
import select
import signal
import socket
import stat
import subprocess
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional

from .errors import Failure, Stopped

CHANNELS = ("control", "stdout", "stderr", "signal", "qmp")
RELAYED = {signal.SIGINT: "INT", signal.SIGTERM: "TERM", signal.SIGHUP: "HUP"}
MONITOR_POLL = 0.5  # seconds between the monitor commands that wake a sleeping guest
# How edk2 reports a CPU exception on the console, x86 and AArch64; it then stops for good.
EXCEPTION = re.compile(r"(?:X64|IA32) Exception Type - .*|Synchronous Exception at .*|"
                       r"Unhandled Exception.*")
EXCEPTION_DUMP = 3.0  # seconds the firmware has to print the rest of its report

# Signals this script has received and not yet acted on; the handler only records them and wakes
# the loop.
_pending: List[int] = []
_wakeup: Optional[socket.socket] = None
_wakeup_writer: Optional[socket.socket] = None


def _record(signum, _frame) -> None:
    _pending.append(signum)


def catch_signals() -> None:
    """From here on, SIGINT, SIGTERM and SIGHUP are the loop's to handle, not Python's."""
    global _wakeup, _wakeup_writer
    reader, writer = socket.socketpair()
    reader.setblocking(False)
    writer.setblocking(False)
    signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
    _wakeup, _wakeup_writer = reader, writer
    for signum in RELAYED:
        # One ignored from the start stays so: a script's background job ignores SIGINT.
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _record)
    # A closed standard output shows as EPIPE on the next write, not as a signal.
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def check_signals() -> None:
    """Between the VM's steps, before the tool runs: a signal ends the run with its status."""
    if _pending:
        raise Stopped(128 + _pending[0])


def _die_with_parent() -> None:
    # QEMU must not outlive this script, even one killed by SIGKILL.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)


def _is_pipe(fd: int) -> bool:
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class Vm:
    """A running QEMU with the agent's channels. `describe` names the firmware in messages."""

    def __init__(self, command: List[str], work: Path, describe: str, console: Path,
                 watch_stdout: bool):
        self.describe = describe
        self.console = console
        self.log = work / "qemu.log"
        listeners = {}
        for name in CHANNELS:
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            path = work / f"{name}.sock"
            path.unlink(missing_ok=True)  # an earlier QEMU's, in the same directory
            listener.bind(str(path))
            listener.listen(1)
            listeners[name] = listener
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True,
                                            preexec_fn=_die_with_parent)
        self.sockets: Dict[str, socket.socket] = {}
        try:
            for name, listener in listeners.items():
                self.sockets[name] = self._accept(listener)
            self._start(watch_stdout)
        except BaseException:
            self.close()
            raise
        finally:
            for listener in listeners.values():
                listener.close()

    def _start(self, watch_stdout: bool) -> None:
        self.buffers = {name: b"" for name in ("control", "qmp")}
        self.lines: List[str] = []  # the agent's lines not yet taken
        self.replies: Dict[int, dict] = {}  # the monitor's answers by id
        self.next_id = 1
        self.waiting = set()
        self.on_signal: Callable[[int], None] = default_on_signal
        self.on_reader_gone: Callable[[], None] = default_on_reader_gone
        self.last_poll = 0.0
        self.quitting = False
        self.out_sink: Callable[[bytes], None] = lambda data: None
        self.err_sink: Callable[[bytes], None] = lambda data: None
        self.received = {"stdout": 0, "stderr": 0}
        self.activity = time.monotonic()
        self.console_checked = 0.0
        self.exception_seen: Optional[float] = None
        self.poller = select.poll()
        self.fds = {}
        for name in ("control", "stdout", "stderr", "qmp"):
            sock = self.sockets[name]
            sock.setblocking(False)
            self.poller.register(sock.fileno(), select.POLLIN)
            self.fds[sock.fileno()] = name
        if _wakeup is not None:
            self.poller.register(_wakeup.fileno(), select.POLLIN)
        # A reader of standard output that goes away shows as an error on the pipe at once.
        if watch_stdout and _is_pipe(1):
            self.poller.register(1, 0)
        # QEMU answers once it has restored a saved VM, which takes a second or so.
        self.monitor("qmp_capabilities", wait=60)

    def _accept(self, listener: socket.socket) -> socket.socket:
        listener.settimeout(0.2)
        deadline = time.monotonic() + 30
        while True:
            try:
                connection, _ = listener.accept()
                connection.setblocking(True)
                return connection
            except socket.timeout:
                pass
            if self.process.poll() is not None:
                raise Failure(f"{self.describe}: QEMU failed to start (status "
                              f"{self.process.returncode}):\n{self.qemu_log()}")
            if time.monotonic() > deadline:
                raise Failure(f"{self.describe}: QEMU did not open its channels")
            check_signals()

    # --- The loop -----------------------------------------------------------------------------

    def pump(self, until: Callable[[], bool], deadline: Optional[float] = None,
             on_deadline: Optional[Callable[[], None]] = None,
             timers: Optional[List] = None) -> None:
        """Serves every channel until `until()` holds. Each signal received goes to
        `self.on_signal`; `on_deadline` runs once `deadline` (monotonic) has passed; each timer
        [when, action] runs its action once, when its time has come."""
        timers = timers if timers is not None else []
        while not until():
            now = time.monotonic()
            while _pending:
                self.on_signal(_pending.pop(0))
            if self.process.poll() is not None and not self.quitting:
                raise Failure(self.stopped_message())
            if deadline is not None and now >= deadline and on_deadline is not None:
                deadline = None
                on_deadline()
            for timer in timers:
                if timer[0] is not None and now >= timer[0]:
                    timer[0] = None
                    timer[1]()
            if now - self.last_poll >= MONITOR_POLL and not self.quitting:
                # QEMU 7.2 under software emulation now and then never wakes a guest that sleeps
                # on a timer; any monitor command wakes it.
                self.last_poll = now
                self.monitor("query-status")
            if until():
                break
            waits = [MONITOR_POLL]
            if deadline is not None:
                waits.append(deadline - now)
            waits += [timer[0] - now for timer in timers if timer[0] is not None]
            for fd, events in self.poller.poll(max(0.0, min(waits)) * 1000):
                self._serve(fd, events)

    def _serve(self, fd: int, events: int) -> None:
        if _wakeup is not None and fd == _wakeup.fileno():
            try:
                _wakeup.recv(4096)
            except BlockingIOError:
                pass
            return
        if fd == 1:
            self.poller.unregister(1)
            self.on_reader_gone()
            return
        name = self.fds[fd]
        try:
            data = self.sockets[name].recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""  # QEMU went away: the loop sees that it has ended
        if not data:
            self.poller.unregister(fd)
            return
        if name in ("stdout", "stderr"):
            self.activity = time.monotonic()
            self.received[name] += len(data)
            (self.out_sink if name == "stdout" else self.err_sink)(data)
            return
        self.buffers[name] += data
        *whole, self.buffers[name] = self.buffers[name].split(b"\n")
        for line in whole:
            if name == "control":
                self.lines.append(line.decode(errors="replace"))
            else:
                self._monitor_line(line)

    # --- The agent ----------------------------------------------------------------------------

    def take_line(self) -> Optional[str]:
        return self.lines.pop(0) if self.lines else None

    def send(self, data: bytes) -> None:
        self.sockets["control"].setblocking(True)
        try:
            self.sockets["control"].sendall(data)
        finally:
            self.sockets["control"].setblocking(False)

    def relay(self, name: str) -> None:
        """Sends a signal name (INT, TERM, HUP, PIPE) to the command that runs."""
        self.sockets["signal"].sendall(name.encode() + b"\n")

    # --- The monitor --------------------------------------------------------------------------

    def monitor(self, command: str, arguments: Optional[dict] = None,
                wait: Optional[float] = None) -> dict:
        """Sends a QMP command; with `wait`, waits that many seconds at most for its answer.
        Signals that come meanwhile wait for the loop that comes after."""
        number = self.next_id
        self.next_id += 1
        message = {"execute": command, "id": number}
        if arguments:
            message["arguments"] = arguments
        try:
            self.sockets["qmp"].sendall(json.dumps(message).encode() + b"\n")
        except OSError:
            if self.quitting:
                return {}
            raise Failure(self.stopped_message())
        if wait is None:
            return {}
        self.waiting.add(number)

        def too_late() -> None:
            raise Failure(f"{self.describe}: QEMU's monitor did not answer {command}")

        deferred: List[int] = []
        on_signal, self.on_signal = self.on_signal, deferred.append
        try:
            self.pump(lambda: number in self.replies, time.monotonic() + wait, too_late)
        finally:
            self.on_signal = on_signal
            _pending[:0] = deferred
            self.waiting.discard(number)
        reply = self.replies.pop(number)
        if "error" in reply:
            raise Failure(f"{self.describe}: QEMU's {command} failed: "
                          f"{reply['error'].get('desc', reply['error'])}")
        return reply.get("return", {})

    def _monitor_line(self, line: bytes) -> None:
        # Only answers someone waits for are kept; the wake-up polls' are dropped.
        try:
            message = json.loads(line)
        except ValueError:
            return
        if message.get("id") in self.waiting:
            self.replies[message["id"]] = message

    def human(self, command: str, wait: float) -> str:
        """A command of QEMU's human monitor (savevm); its text, which is empty on success."""
        return self.monitor("human-monitor-command", {"command-line": command}, wait=wait)

    # --- Ending ---------------------------------------------------------------------------------

    def quit(self, wait: float = 10) -> None:
        """Ends QEMU cleanly: it writes out what the guest wrote to its flash."""
        self.quitting = True
        try:
            self.sockets["qmp"].sendall(b'{"execute": "quit"}\n')
        except OSError:
            pass
        try:
            self.process.wait(wait)
        except subprocess.TimeoutExpired:
            self.kill()

    def kill(self) -> None:
        self.quitting = True
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def drain(self) -> None:
        """Once QEMU has gone: passes on what it had written to the command's streams."""
        for name in ("stdout", "stderr"):
            sock = self.sockets[name]
            sock.setblocking(False)
            while True:
                try:
                    data = sock.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                self.received[name] += len(data)
                (self.out_sink if name == "stdout" else self.err_sink)(data)

    def close(self) -> None:
        self.kill()
        for sock in getattr(self, "sockets", {}).values():
            sock.close()

    def qemu_log(self) -> str:
        try:
            return self.log.read_text(errors="replace").strip()[-3000:]
        except OSError:
            return ""

    def stopped_message(self) -> str:
        return (f"{self.describe}: QEMU stopped unexpectedly (status {self.process.poll()})"
                + (f":\n{self.qemu_log()}" if self.qemu_log() else ""))

    def console_text(self) -> str:
        """The VM's console, without the firmware's terminal controls."""
        try:
            text = self.console.read_bytes().decode(errors="replace").replace("\r", "")
        except OSError:
            return ""
        return re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", "", text)

    def console_tail(self, lines: int = 20) -> str:
        return "\n".join(self.console_text().splitlines()[-lines:])

    def exception(self) -> Optional[str]:
        """The CPU exception the firmware reported on the console, once its report is whole (the
        image it names, or a few seconds after its first line); None before."""
        now = time.monotonic()
        if now - self.console_checked < MONITOR_POLL:
            return None
        self.console_checked = now
        text = self.console_text()
        found = EXCEPTION.search(text)
        if found is None:
            return None
        if self.exception_seen is None:
            self.exception_seen = now
        if "Find image" in text[found.end():] or now - self.exception_seen >= EXCEPTION_DUMP:
            return found.group(0).strip()
        return None


def default_on_signal(signum: int) -> None:
    raise Stopped(128 + signum)


def default_on_reader_gone() -> None:
    raise Stopped(128 + signal.SIGPIPE)
