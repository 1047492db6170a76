"""QEMU's monitor protocol (QMP), the host's side: commands out with an id, and the answers that
someone waits for kept by id; the wake-up polls' answers are dropped."""

import json
import socket
from typing import Dict, Optional, Set


class Monitor:
    def __init__(self, sock: socket.socket):
        self.sock = sock
        self.buffer = b""
        self.replies: Dict[int, dict] = {}
        self.waiting: Set[int] = set()
        self.next_id = 1

    def send(self, command: str, arguments: Optional[dict] = None, keep: bool = False) -> int:
        """Sends COMMAND (OSError when QEMU has gone); its id, whose answer is kept with KEEP."""
        number = self.next_id
        self.next_id += 1
        message = {"execute": command, "id": number}
        if arguments:
            message["arguments"] = arguments
        if keep:
            self.waiting.add(number)
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        return number

    def feed(self, data: bytes) -> None:
        self.buffer += data
        *whole, self.buffer = self.buffer.split(b"\n")
        for line in whole:
            try:
                message = json.loads(line)
            except ValueError:
                continue
            if message.get("id") in self.waiting:
                self.replies[message["id"]] = message

    def take(self, number: int) -> Optional[dict]:
        """The answer to command NUMBER once it has come; no longer waited for."""
        reply = self.replies.pop(number, None)
        if reply is not None:
            self.waiting.discard(number)
        return reply

    def give_up(self, number: int) -> None:
        self.waiting.discard(number)
        self.replies.pop(number, None)
