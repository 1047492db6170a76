"""One run's VM: started from its saved state or booted cold (and then saved), a firmware that
does not start refused, the tool and the files sent to the guest."""

import time
from pathlib import Path
from typing import List, Optional, Tuple

from . import liveness
from . import qemu
from . import qemuimg
from . import saved as saves
from .agent import file_message
from .console import DebugWatch, first_assert
from .errors import Failure
from .quiet import note
from .session import Timer, Vm
from .signals import check_signals

RESTORE_LIMIT = 30  # seconds a restored VM has to answer


class Run:
    """The VM of one run of the harness: PLAN is what it is made of, OPTIONS what was asked for,
    COMMANDS the shell lines it runs."""

    def __init__(self, plan: qemu.Plan, options, commands: List[str]):
        self.plan, self.options, self.commands = plan, options, commands
        self.vm: Optional[Vm] = None
        self.describe = plan.firmware.label
        self.live = options.batch is None
        self.interrupted: Optional[int] = None  # the signal relayed to the last command
        self.marks: List[Tuple[int, str]] = []  # for --flash-log: (the trace's size, text)

    def mark(self, text: str) -> None:
        """Notes how far the flash's trace has come, for a marker in --flash-log: QEMU writes each
        trace line out as it happens, so everything before this moment is in the file."""
        if self.plan.flash_log:
            try:
                size = self.plan.trace.stat().st_size
            except OSError:
                size = 0
            self.marks.append((size, text))

    def start(self, restore: bool) -> Vm:
        if self.plan.firmware.uboot:
            qemu.uboot_disk(self.plan)
        command = qemu.command(self.plan) + (["-loadvm", saves.SNAPSHOT] if restore else [])
        self.vm = Vm(command, self.plan.work, self.describe, watch_stdout=self.live)
        return self.vm

    def stop_vm(self) -> None:
        if self.vm is not None:
            self.vm.close()
            self.vm = None

    def wait_line(self, limit: float, what: str) -> str:
        """The agent's next line, within LIMIT seconds."""
        def late() -> None:
            raise Failure(f"{self.describe}: {what} within {limit:g} seconds (see --timeout)")

        return self.vm.wait_line(limit, late)

    def ping(self) -> None:
        self.vm.agent.send(b"PING\n")
        answer = self.wait_line(10, "the agent did not answer PING")
        if answer != "PONG":
            raise Failure(f"{self.describe}: the agent answered {answer!r} to PING")

    def boot(self, entry: Optional[saves.Entry]) -> None:
        """Restores the saved VM when there is a current one; otherwise boots cold, and saves the
        VM (when ENTRY is given) once the guest is ready."""
        if entry is not None and entry.restore_into(self.plan.store):
            try:
                self.start(restore=True).agent.send(b"PING\n")
                if self.wait_line(RESTORE_LIMIT, "the restored VM did not answer") == "PONG":
                    return
                raise Failure("the restored VM gave a wrong answer")
            except Failure as failure:
                self.stop_vm()
                check_signals()
                reason = str(failure).strip().splitlines()[-1]
                note(f"the saved VM for {self.describe} could not be restored ({reason}); "
                            "booting cold and saving it again")
                entry.discard()
        if self.options.kept is None:
            qemuimg.qcow2_copy(self.plan.firmware, self.plan.store)
        started = time.monotonic()
        self.start(restore=False)
        line = Ready(self, started).wait()
        if not line.startswith("READY"):
            raise Failure(f"{self.describe}: the guest said {line!r} instead of READY")
        self.mark("ready")
        if entry is not None:
            self.save(entry)

    def save(self, entry: saves.Entry) -> None:
        vm = self.vm
        note(f"saving the booted VM for {self.describe} (later runs start from it)")
        vm.monitor("stop", wait=10)
        try:
            answer = vm.human(f"savevm {saves.SNAPSHOT}", wait=300)
            if answer.strip():
                note(f"QEMU could not save the VM: {answer.strip()}")
            else:
                # Copied while the VM stands still: the copy is exactly the saved state.
                entry.keep(self.plan.store)
        finally:
            vm.monitor("cont", wait=10)

    def send_file(self, data: bytes, mode: str, path: str) -> None:
        self.vm.agent.send(file_message(data, mode, path))
        line = self.wait_line(self.options.timeout, f"the VM did not take {path}")
        if line != "OK":
            raise Failure(f"{self.describe}: in the VM: {line.removeprefix('FAIL ')}")


class Ready:
    """The wait for the agent's first line after a cold boot. A firmware that has written nothing
    on its console, nor to its flash for --silence seconds, one that took a CPU exception or
    stopped on a failed ASSERT, a CPU stuck for --stuck seconds (liveness.py), a VM that ends
    first, or a guest not ready within --timeout is refused with the time waited and the
    console's last lines."""

    def __init__(self, run: Run, started: float):
        self.run, self.vm, self.started = run, run.vm, started
        self.describe = run.describe
        self.silence, self.limit = run.options.silence, run.options.timeout
        self.debug = DebugWatch(run.plan.debug)
        stuck = getattr(run.options, "stuck", liveness.STUCK)
        aarch64 = run.plan.firmware.machine_name == "aarch64"
        self.watch = (liveness.Watch(stuck, self.code_at, aarch64)
                      if 0 < stuck < self.limit else None)
        self.asked: Optional[int] = None  # the registers asked for and not answered yet
        self.next_sample = started

    def waited(self) -> str:
        return f"{time.monotonic() - self.started:.1f} s after QEMU started"

    def said(self, quote_assert: bool = True) -> str:
        lines = [line.strip()[:200] for line in self.vm.console.tail(50).splitlines()
                 if line.strip()]
        try:
            asserted = first_assert(self.run.plan.debug.read_text(errors="replace")) \
                if quote_assert else None
        except OSError:
            asserted = None
        said = f"its debug output's first assertion: {asserted}; " if asserted else ""
        if not lines:
            return said + "the console stayed empty"
        return said + "the console's last lines: " + " | ".join(lines[-3:])

    def refuse(self, why: str) -> None:
        # The message says the console's last lines itself.
        raise Failure(f"{self.describe}: {why}", console="")

    def not_ready(self) -> None:
        self.refuse(f"the guest was not ready {self.waited()} (see --timeout); {self.said()}")

    def flash_written(self) -> float:
        # QEMU writes each change of the flash through to the store's file at once.
        try:
            return self.run.plan.store.stat().st_mtime - (time.time() - time.monotonic())
        except OSError:
            return self.started

    def silent(self) -> None:
        if self.vm.console.written():
            return
        quiet_since = max(self.started, self.flash_written())
        if time.monotonic() - quiet_since >= self.silence:
            self.refuse(f"the firmware had written nothing on its console {self.waited()}, nor "
                        f"to its flash for {self.silence} s: it does not start")
        self.timers[0].when = quiet_since + self.silence

    def crashed(self) -> None:
        # edk2 stops for good after a CPU exception, and a DEBUG build after a failed ASSERT: no
        # use waiting for the guest.
        exception = self.vm.console.exception()
        if exception:
            self.refuse(f"the firmware took a CPU exception {self.waited()} ({exception}); "
                        f"{self.said()}")
        asserted = self.debug.stopped()
        if asserted:
            self.refuse(f"the firmware stopped on a failed assertion {self.waited()} "
                        f"({asserted}); {self.said(quote_assert=False)}")
        if self.watch is not None:
            self.sample()

    def output(self) -> tuple:
        """What shows the guest doing something: the console's size, the flash's last change."""
        try:
            flash = self.run.plan.store.stat().st_mtime_ns
        except OSError:
            flash = None
        try:
            console = self.vm.console.path.stat().st_size
        except OSError:
            console = 0
        return console, flash

    def code_at(self, address: int, count: int) -> bytes:
        """COUNT bytes at ADDRESS as the CPU sees it (QEMU's x command: lines "ADDRESS: 0x.. ")."""
        answer = self.vm.human(f"x /{count}bx {address:#x}", wait=10)
        return liveness.dumped(answer)

    def sample(self) -> None:
        """Reads the registers once a second, without waiting for QEMU's answer; judges each."""
        now = time.monotonic()
        if self.asked is not None:
            reply = self.vm.answer(self.asked)
            if reply is None:
                return
            self.asked = None
            text = reply.get("return")
            cpu = liveness.parse(text) if isinstance(text, str) else None
            found = self.watch.add(now, cpu, self.output())
            if found:
                self.refuse(f"the guest's CPU made no progress {self.waited()}: "
                            f"{liveness.describe(found, self.vm.console.text())}, with nothing "
                            f"written on its console nor to its flash (see --stuck); "
                            f"{self.said()}")
        if now >= self.next_sample:
            self.next_sample = now + liveness.SAMPLE_EVERY
            self.asked = self.vm.ask("human-monitor-command",
                                     {"command-line": "info registers"})

    def wait(self) -> str:
        silence, limit = self.silence, self.limit
        self.timers = [Timer(self.started + silence, self.silent)] if 0 < silence < limit else []
        try:
            return self.vm.wait_line(self.started + limit - time.monotonic(), self.not_ready,
                                     self.timers, self.crashed)
        except Failure as failure:
            status = self.vm.qemu.status()
            if failure.console is not None or status is None:
                raise
            qemu_said = self.vm.qemu.output().splitlines()
            self.refuse(f"the VM ended {self.waited()}, before the guest was ready (QEMU's "
                        f"status {status}"
                        + (f": {qemu_said[-1]}" if qemu_said else "; a guest that resets ends it")
                        + f"); {self.said()}")
