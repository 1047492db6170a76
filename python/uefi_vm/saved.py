"""Saved VMs: a guest booted once, up to the moment its agent said READY, kept with QEMU's savevm
in the qcow2 image of the firmware's variable store, under build/uefi-vm-cache/saved/.

An entry is known by a key over everything that makes up that state: the firmware's code and
factory store, the kernel, the initramfs, QEMU's version and the whole QEMU command line. A run
restores a copy of the entry, never the entry itself, so that nothing one run writes reaches the
next."""

import fcntl
import hashlib
import os
import shutil
import subprocess
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, List

SNAPSHOT = "ready"


def key(qemu: str, command: List[str], files: List[Path], initrd: bytes) -> str:
    """The key of the state that COMMAND (with its run's paths left out) boots to."""
    version = subprocess.run([qemu, "--version"], capture_output=True, text=True).stdout
    digest = hashlib.sha256()
    digest.update(version.encode())
    digest.update("\0".join(command).encode())
    for path in files:
        with open(path, "rb") as source:
            digest.update(hashlib.file_digest(source, "sha256").digest())
    digest.update(hashlib.sha256(initrd).digest())
    return digest.hexdigest()


class Entry:
    """The saved VM for one firmware and one set of machine options."""

    def __init__(self, cache: Path, name: str, state_key: str):
        self.directory = cache / name
        self.state = self.directory / "state.qcow2"
        self.key = state_key
        self.lock_path = cache / f"{name}.lock"

    @contextmanager
    def _locked(self, mode: int) -> Iterator[None]:
        self.lock_path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.lock_path, "a") as lock:
            fcntl.flock(lock, mode)
            yield

    def _current(self) -> bool:
        try:
            return (self.directory / "key").read_text().strip() == self.key and self.state.is_file()
        except OSError:
            return False

    def restore_into(self, store: Path) -> bool:
        """Copies the saved state to STORE; false when there is none, or it is stale."""
        with self._locked(fcntl.LOCK_SH):
            if not self._current():
                return False
            shutil.copyfile(self.state, store)
            return True

    def keep(self, store: Path) -> None:
        """Makes STORE, just saved with savevm and not written since, the entry."""
        with self._locked(fcntl.LOCK_EX):
            fresh = self.directory.with_name(self.directory.name + ".new")
            shutil.rmtree(fresh, ignore_errors=True)
            fresh.mkdir(parents=True)
            shutil.copyfile(store, fresh / "state.qcow2")
            (fresh / "key").write_text(self.key + "\n")
            shutil.rmtree(self.directory, ignore_errors=True)
            os.rename(fresh, self.directory)

    def discard(self) -> None:
        with self._locked(fcntl.LOCK_EX):
            shutil.rmtree(self.directory, ignore_errors=True)
