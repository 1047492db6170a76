"""The QEMU process: launched with a listening socket for each of its channels, which it connects
to, and ended cleanly (quit), at once (kill) or, on leaving its context, killed and closed. QEMU
never outlives the harness, even one killed by SIGKILL."""

import ctypes
import os
import signal
import socket
import subprocess
import time
from pathlib import Path
from typing import Dict, List, Optional

from .errors import Failure
from .signals import check_signals

CHANNELS = ("control", "stdout", "stderr", "signal", "qmp")
CONNECT_LIMIT = 30  # seconds QEMU has to connect its channels


def die_with_parent() -> None:
    """In a child, before it runs: dies with the thread that started it."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)


class Qemu:
    """COMMAND, whose channels are WORK/NAME.sock and whose output goes to WORK/qemu.log.
    `describe` names the firmware in messages."""

    def __init__(self, command: List[str], work: Path, describe: str):
        self.command, self.work, self.describe = command, work, describe
        self.log = work / "qemu.log"
        self.process: Optional[subprocess.Popen] = None
        self.sockets: Dict[str, socket.socket] = {}
        self.quitting = False

    def __enter__(self) -> "Qemu":
        listeners = {name: self._listen(name) for name in CHANNELS}
        try:
            with open(self.log, "wb") as log:
                self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                                stdout=log, stderr=subprocess.STDOUT,
                                                start_new_session=True,
                                                preexec_fn=die_with_parent)
            for name, listener in listeners.items():
                self.sockets[name] = self._accept(listener)
        except BaseException:
            self.close()
            raise
        finally:
            for listener in listeners.values():
                listener.close()
        return self

    def __exit__(self, *_exception) -> None:
        self.close()

    def _listen(self, name: str) -> socket.socket:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        path = self.work / f"{name}.sock"
        path.unlink(missing_ok=True)  # an earlier QEMU's, in the same directory
        listener.bind(str(path))
        listener.listen(1)
        return listener

    def _accept(self, listener: socket.socket) -> socket.socket:
        listener.settimeout(0.2)
        deadline = time.monotonic() + CONNECT_LIMIT
        while True:
            try:
                connection, _ = listener.accept()
                connection.setblocking(True)
                return connection
            except socket.timeout:
                pass
            if self.process.poll() is not None:
                raise Failure(f"{self.describe}: QEMU failed to start (status "
                              f"{self.process.returncode}):\n{self.output()}")
            if time.monotonic() > deadline:
                raise Failure(f"{self.describe}: QEMU did not open its channels")
            check_signals()

    def status(self) -> Optional[int]:
        """QEMU's exit status once it has ended; None while it runs."""
        return self.process.poll() if self.process is not None else None

    def ended(self) -> bool:
        """Whether QEMU has ended without being asked to."""
        return not self.quitting and self.status() is not None

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
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def close(self) -> None:
        self.kill()
        for sock in self.sockets.values():
            sock.close()

    def output(self) -> str:
        """The end of what QEMU itself wrote."""
        try:
            return self.log.read_text(errors="replace").strip()[-3000:]
        except OSError:
            return ""

    def stopped_message(self) -> str:
        output = self.output()
        return (f"{self.describe}: QEMU stopped unexpectedly (status {self.status()})"
                + (f":\n{output}" if output else ""))
