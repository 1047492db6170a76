"""The commands of a run, each sent to the agent and its output passed on as it comes: the live
one's to this program's standard output and error, a batch's to files. Meanwhile the signals this
program receives go on to the command, and --stop-after, --cut-after and --timeout act."""

import os
import signal
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, List, Optional, Tuple

from . import agent
from .errors import CUT, Failure, Stopped
from .run import Run
from .session import Timer
from .signals import RELAYED, default_on_reader_gone, default_on_signal

READER_GONE_GRACE = 5  # seconds the tool has to end after its reader went away


def commands_of(options) -> List[str]:
    """The shell lines a run's options ask for: a batch file's, or --before's and the tool's."""
    if options.batch is not None:
        lines = options.batch.read_text().splitlines()
        return [line for line in lines if line.strip() and not line.startswith("#")]
    return options.before + [agent.tool_line(options.args)]


@dataclass
class Command:
    """One shell line running in the VM: what has become of it so far."""

    run: Run
    number: int
    line: str
    ended: Optional[Tuple[int, int, int]] = None  # its END: status, bytes out, bytes err
    relayed: Optional[int] = None  # the first signal passed on to it
    gone: Optional[float] = None  # when the reader of standard output went away
    timers: List[Timer] = field(default_factory=list)

    @property
    def vm(self):
        return self.run.vm

    def on_signal(self, signum: int) -> None:
        if self.relayed is not None:
            self.vm.kill()
            raise Stopped(128 + signum, f"a second {signal.Signals(signum).name}: stopped the VM "
                                        "at once")
        self.relayed = signum
        self.vm.agent.relay(RELAYED[signum])

    def on_reader_gone(self) -> None:
        if self.gone is None:
            self.gone = time.monotonic()
            self.vm.agent.mute()
            self.vm.agent.relay("PIPE")

    def over(self) -> bool:
        """Whether the command has ended and all it wrote has come."""
        agent_ = self.vm.agent
        answer = agent_.take_line()
        if answer is not None:
            if answer.split()[:1] == ["FAIL"]:
                raise Failure(f"{self.run.describe}: in the VM: {answer[5:]}")
            self.ended = agent.end_of(answer, self.number) or self.ended
        if self.gone is not None and time.monotonic() - self.gone > READER_GONE_GRACE:
            raise Stopped(128 + signal.SIGPIPE)
        if self.ended is None:
            return False
        _, out_bytes, err_bytes = self.ended
        received = agent_.received
        if received["stdout"] > out_bytes or received["stderr"] > err_bytes:
            raise Failure(f"{self.run.describe}: command {self.number} sent more than it wrote")
        return received["stdout"] == out_bytes and received["stderr"] == err_bytes

    def quiet_too_long(self) -> None:
        # The time limit counts from the command's last output.
        timeout = self.run.options.timeout
        activity = self.vm.agent.activity
        if time.monotonic() - activity >= timeout:
            raise Failure(f"{self.run.describe}: command {self.number} of "
                          f"{len(self.run.commands)} neither wrote nor ended for {timeout} "
                          f"seconds (see --timeout): {self.line}")
        self.timers[0].when = activity + timeout

    def cut(self) -> None:
        self.vm.kill()
        self.run.mark("cut")
        self.vm.agent.drain()
        raise Stopped(CUT, f"the power was cut {self.run.options.cut_after:g} s after the tool "
                           "started (QEMU killed)")

    def start_timers(self) -> None:
        options, started = self.run.options, self.vm.agent.activity
        self.timers = [Timer(started + options.timeout, self.quiet_too_long)]
        if options.stop_after is not None:
            self.timers.append(Timer(started + options.stop_after,
                                     lambda: self.vm.agent.relay("INT")))
        if options.cut_after is not None:
            self.timers.append(Timer(started + options.cut_after, self.cut))


def run_command(run: Run, number: int, line: str, out: Callable[[bytes], None],
                err: Callable[[bytes], None]) -> int:
    """Runs one shell line in the VM, its output streamed to OUT and ERR as it comes; returns its
    exit status."""
    command, vm = Command(run, number, line), run.vm
    vm.agent.listen(out, err)
    vm.on_signal, vm.on_reader_gone = command.on_signal, command.on_reader_gone
    try:
        run.mark(f"run {number}")
        vm.agent.send(agent.run_message(number, line))
        vm.agent.activity = time.monotonic()
        command.start_timers()
        vm.pump(command.over, command.timers)
    finally:
        vm.on_signal, vm.on_reader_gone = default_on_signal, default_on_reader_gone
    status = command.ended[0]
    run.mark(f"end {number} {status}")
    if command.gone is not None:
        raise Stopped(128 + signal.SIGPIPE)
    run.interrupted = command.relayed
    return status


def run_all(run: Run) -> int:
    """Runs the commands; the live one's status, or 0 when a batch's results are all in
    --out."""
    if run.live:
        # --before lines first, everything they write on standard error.
        *before, tool = run.commands
        for number, line in enumerate(before, start=1):
            status = run_command(run, number, line, write_to(2), write_to(2))
            if run.interrupted is not None:
                raise Stopped(128 + run.interrupted)
            if status != 0:
                raise Failure(f"{run.describe}: --before {line!r} ended with {status}")
        return run_command(run, len(run.commands), tool, write_to(1, run), write_to(2))
    out_dir: Path = run.options.out
    out_dir.mkdir(parents=True, exist_ok=True)
    for number, line in enumerate(run.commands, start=1):
        base = out_dir / str(number)
        with open(f"{base}.out", "wb") as out, open(f"{base}.err", "wb") as err:
            status = run_command(run, number, line, out.write, err.write)
        Path(f"{base}.status").write_text(f"{status}\n")
        if run.interrupted is not None:
            # The interrupted command's results are kept; the rest of the batch is not run.
            raise Stopped(128 + run.interrupted)
    return 0


def write_to(fd: int, run: Optional[Run] = None) -> Callable[[bytes], None]:
    """Writes every byte to FD, as it comes; a reader of standard output that went away is the
    run's VM's to handle."""

    def write(data: bytes) -> None:
        view = memoryview(data)
        try:
            while view:
                view = view[os.write(fd, view):]
        except BrokenPipeError:
            if run is not None and run.vm is not None:
                run.vm.on_reader_gone()
        except OSError:
            pass

    return write
