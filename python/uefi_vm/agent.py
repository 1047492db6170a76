"""The agent in the guest (agent.sh), the host's side of its protocol. Its control port carries
lines both ways: FILE SIZE MODE PATH and the file's bytes (answered OK or FAIL ...), PING (PONG),
RUN NUMBER and the shell line (END NUMBER STATUS OUT-BYTES ERR-BYTES once it has ended); READY
after a cold boot. The running command's standard output and error come on ports of their own, as
written, and signal names for it go out on the signal port."""

import shlex
import socket
import time
from typing import Callable, List, Optional, Tuple

Sink = Callable[[bytes], None]


def file_message(data: bytes, mode: str, path: str) -> bytes:
    return f"FILE {len(data)} {mode} {path}\n".encode() + data


def run_message(number: int, line: str) -> bytes:
    return f"RUN {number}\n{line}\n".encode()


def tool_line(args: List[str]) -> str:
    """The shell line that runs the tool with ARGS, each one reaching it as it is. exec: the tool
    itself is the process group leader's child, with the default reaction to every signal, and no
    shell stays to print job messages ("Terminated") on standard error."""
    return " ".join(["exec", "kestomandrel"] + [shlex.quote(arg) for arg in args])


def end_of(answer: str, number: int) -> Optional[Tuple[int, int, int]]:
    """Command NUMBER's status and the bytes it wrote on standard output and error, when ANSWER is
    its END line."""
    words = answer.split()
    if words[:2] == ["END", str(number)] and len(words) == 5:
        status, out, err = (int(word) for word in words[2:])
        return status, out, err
    return None


class Agent:
    def __init__(self, control: socket.socket, stdout: socket.socket, stderr: socket.socket,
                 signals: socket.socket):
        self.control, self.signals = control, signals
        self.streams = {"stdout": stdout, "stderr": stderr}
        self.buffer = b""
        self.lines: List[str] = []  # the agent's lines not yet taken
        self.sinks = {"stdout": _nowhere, "stderr": _nowhere}
        self.received = {"stdout": 0, "stderr": 0}
        self.activity = time.monotonic()  # when the command last wrote

    def feed(self, data: bytes) -> None:
        self.buffer += data
        *whole, self.buffer = self.buffer.split(b"\n")
        self.lines += [line.decode(errors="replace") for line in whole]

    def take_line(self) -> Optional[str]:
        return self.lines.pop(0) if self.lines else None

    def send(self, data: bytes) -> None:
        self.control.setblocking(True)
        try:
            self.control.sendall(data)
        finally:
            self.control.setblocking(False)

    def relay(self, name: str) -> None:
        """Sends a signal name (INT, TERM, HUP, PIPE) to the command that runs."""
        self.signals.sendall(name.encode() + b"\n")

    def listen(self, out: Sink, err: Sink) -> None:
        """The next command's output goes to OUT and ERR, counted from nothing."""
        self.sinks = {"stdout": out, "stderr": err}
        self.received = {"stdout": 0, "stderr": 0}
        self.activity = time.monotonic()

    def mute(self) -> None:
        self.sinks["stdout"] = _nowhere

    def stream(self, name: str, data: bytes) -> None:
        self.activity = time.monotonic()
        self.received[name] += len(data)
        self.sinks[name](data)

    def drain(self) -> None:
        """Once QEMU has gone: passes on what it had written to the command's streams."""
        for name, sock in self.streams.items():
            sock.setblocking(False)
            while True:
                try:
                    data = sock.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                self.stream(name, data)


def _nowhere(data: bytes) -> None:
    pass
