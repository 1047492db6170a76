"""Where the bench's boots run: here, a few at a time (the local pool), or on the workers of a Dask
cluster (--scheduler). One function, `run_harness`, runs scripts/uefi-vm in a directory of its
own wherever it is: its argv and its input files come in as bytes, its output files and its
standard error go back as bytes; no file system is shared.

An argv word may name what the run is given: "@harness" (the harness of the machine it runs on,
several words), "@in/NAME" and "@out/NAME" (a file of the run's directory, given or sent back),
"@shared/NAME" (a file sent to each worker once: the tool and the firmware's files). Bytes of more
than 64 KiB travel compressed.

On the cluster each boot is one task. Dask runs a task again elsewhere when its worker dies, and
gives up (KilledWorker) when it has killed a few: the run then ends (125) naming the point. A
result is released as soon as it has come, so that a worker's death never makes the cluster
compute it again. The harness dies with the worker that started it (PR_SET_PDEATHSIG), and QEMU
with the harness."""

import hashlib
import os
import platform
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import warnings
import zlib
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from ... import paths
from ...process import die_with_parent

WORKERS_WAIT = 120  # seconds a cluster has to show its first worker
PACKED = 64 << 10  # bytes above which data travels compressed
SHARED = Path(tempfile.gettempdir()) / f"kestomandrel-power-cut-{os.getuid()}"
_described: Dict[str, Dict] = {}
_lock = threading.Lock()


def pack(data: bytes, compress: bool = True) -> Tuple[bool, bytes]:
    if compress and len(data) > PACKED:
        return True, zlib.compress(data, 1)
    return False, data


def unpack(packed: Tuple[bool, bytes]) -> bytes:
    compressed, data = packed
    return zlib.decompress(data) if compressed else data


def qemu_version(qemu: str) -> str:
    try:
        said = subprocess.run([qemu, "--version"], capture_output=True, text=True).stdout
    except OSError:
        return "none"
    return said.splitlines()[0].strip() if said.strip() else "none"


def describe_machine(qemu: str, code: Optional[bytes] = None) -> Dict:
    """Where a run ran: the host, its QEMU's version, its kernel (the guest boots the newest in
    /boot on x86), and the sha256 of the firmware's code it booted."""
    with _lock:
        if qemu not in _described:
            _described[qemu] = {"host": socket.gethostname(), "qemu": qemu_version(qemu),
                                "kernel": platform.release()}
    found = dict(_described[qemu])
    if code is not None:
        found["code_sha256"] = hashlib.sha256(code).hexdigest()
    return found


def _materialize(shared: Dict[str, Tuple[bool, bytes]]) -> Dict[str, Path]:
    """The shared files on this machine, each written once under its sha256."""
    places = {}
    for name, packed in shared.items():
        data = unpack(packed)
        directory = SHARED / hashlib.sha256(data).hexdigest()
        target = directory / name
        with _lock:
            if not target.exists():
                directory.mkdir(parents=True, exist_ok=True)
                partial = target.with_suffix(target.suffix + ".part")
                partial.write_bytes(data)
                partial.chmod(0o755)
                partial.rename(target)
        places[name] = target
    return places


def _expand(argv: Sequence[str], run: Path, shared: Dict[str, Path]) -> List[str]:
    words: List[str] = []
    for word in argv:
        if word == "@harness":
            words += paths.harness()
        elif word.startswith(("@in/", "@out/")):
            words.append(str(run / word.split("/", 1)[1]))
        elif word.startswith("@shared/"):
            words.append(str(shared[word.split("/", 1)[1]]))
        else:
            words.append(word)
    return words


RUN_PREFIX = "power-cut-run."  # then the process id of the worker that made it, and a dot


def remove_orphans() -> None:
    """Removes the run directories left by processes that are gone (a worker killed during a
    boot cannot remove its own)."""
    where = tempfile.gettempdir()
    try:
        names = os.listdir(where)
    except OSError:
        return
    for name in names:
        if not name.startswith(RUN_PREFIX):
            continue
        owner = name[len(RUN_PREFIX):].split(".", 1)[0]
        if not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
            continue  # its process lives (or another has its number): left alone
        except ProcessLookupError:
            shutil.rmtree(os.path.join(where, name), ignore_errors=True)
        except OSError:
            continue


def run_harness(argv: Sequence[str], inputs: Dict[str, Tuple[bool, bytes]],
                outputs: Sequence[str], shared: Dict[str, Tuple[bool, bytes]],
                qemu: str = "qemu-system-x86_64", code: str = "", stdout: bool = False,
                compress: bool = True) -> Dict:
    """Runs ARGV in a directory of its own holding INPUTS; its status, standard error (and
    standard output with STDOUT), the OUTPUTS that exist (files, packed: compressed with
    COMPRESS), and where it ran (with CODE, the shared file that is the firmware's code)."""
    places = _materialize(shared)
    remove_orphans()
    with tempfile.TemporaryDirectory(prefix=f"{RUN_PREFIX}{os.getpid()}.") as directory:
        run = Path(directory)
        for name, packed in inputs.items():
            (run / name).parent.mkdir(parents=True, exist_ok=True)
            (run / name).write_bytes(unpack(packed))
        # The harness's own scratch directory goes inside the run's, and goes with it.
        environment = {**os.environ, "TMPDIR": str(run)}
        with open(run / ".stderr", "wb") as errors, open(run / ".stdout", "wb") as out:
            status = subprocess.run(_expand(argv, run, places), stdin=subprocess.DEVNULL,
                                    stdout=out if stdout else subprocess.DEVNULL, stderr=errors,
                                    cwd=run, env=environment,
                                    preexec_fn=die_with_parent).returncode
        found = {name: pack((run / name).read_bytes(), compress) for name in outputs
                 if (run / name).is_file()}
        where = describe_machine(qemu, places[code].read_bytes() if code in places else None)
        # On a worker, which has Dask loaded; here, Dask is never imported.
        if "distributed" in sys.modules:
            try:
                where["worker"] = sys.modules["distributed"].get_worker().address
            except ValueError:
                pass
        return {"status": status, "stderr": (run / ".stderr").read_bytes(),
                "stdout": (run / ".stdout").read_bytes(), "outputs": found, "where": where}


def _hold(value):
    return value


class PointKilledWorkers(Exception):
    """A run that kept killing the workers it ran on."""


class Local:
    """The runs on this machine, in the calling thread (the bench's pools run a few at a time)."""

    cluster = False

    def __init__(self, shared: Optional[Dict[str, Path]] = None, qemu: str = "",
                 code: str = ""):
        self.qemu, self.code = qemu, code
        self.shared = {name: pack(Path(path).read_bytes()) for name, path in
                       (shared or {}).items()}

    def workers(self) -> int:
        return 0

    def run(self, argv: Sequence[str], inputs: Dict[str, bytes], outputs: Sequence[str],
            what: str, avoid: Optional[str] = None, stdout: bool = False) -> Dict:
        """Runs the harness with ARGV on INPUTS; its status, stderr, stdout (with STDOUT), the
        OUTPUTS it left (bytes) and where it ran. WHAT names the run in messages."""
        # Here nothing travels: nothing is compressed.
        found = run_harness(argv, {name: pack(data, False) for name, data in inputs.items()},
                            outputs, self.shared, self.qemu, self.code, stdout, False)
        found["outputs"] = {name: unpack(packed) for name, packed in found["outputs"].items()}
        return found

    def close(self) -> None:
        pass


class Cluster(Local):
    """The runs on a Dask cluster's workers: the shared files scattered to every worker once,
    each run a task whose result is released once it has come."""

    cluster = True

    def __init__(self, address: str, shared: Dict[str, Path], qemu: str, code: str,
                 workers: int = 1):
        import distributed  # only here: the cluster is optional
        self.distributed = distributed
        self.client = distributed.Client(address, timeout=30)
        try:
            self.client.wait_for_workers(workers, timeout=WORKERS_WAIT)
        except (TimeoutError, distributed.TimeoutError if hasattr(distributed, "TimeoutError")
                else TimeoutError):
            self.client.close()
            raise OSError(f"no worker joined within {WORKERS_WAIT} s") from None
        self.qemu, self.code = qemu, code
        packed = {name: pack(Path(path).read_bytes()) for name, path in shared.items()}
        # Held by a task rather than scattered: the scheduler keeps the bytes once, a worker
        # fetches them once from one that has them, and if every worker holding them dies they
        # are made again (scattered data would be lost with them).
        with warnings.catch_warnings():
            # Dask's advice to scatter them instead: see above.
            warnings.simplefilter("ignore", UserWarning)
            self.shared = self.client.submit(_hold, packed, pure=False)
        self.seen: Dict[str, Tuple[str, str]] = {}  # qemu / code_sha256 -> (value, host)
        self.check_lock = threading.Lock()
        # Workers that cannot be judged together are refused before the first boot.
        for where in self.client.run(describe_machine, qemu).values():
            self.check(where)

    def workers(self) -> int:
        return sum(self.client.nthreads().values())

    def others(self, avoid: Optional[str]) -> Optional[List[str]]:
        if avoid is None:
            return None
        others = [address for address in self.client.nthreads() if address != avoid]
        return others or None

    def run(self, argv: Sequence[str], inputs: Dict[str, bytes], outputs: Sequence[str],
            what: str, avoid: Optional[str] = None, stdout: bool = False) -> Dict:
        others = self.others(avoid)
        placed = {"workers": others, "allow_other_workers": True} if others else {}
        future = self.client.submit(run_harness, list(argv),
                                    {name: pack(data) for name, data in inputs.items()},
                                    list(outputs), self.shared, self.qemu, self.code,
                                    stdout, pure=False, **placed)
        try:
            found = future.result()
        except self.distributed.KilledWorker:
            raise PointKilledWorkers(f"{what} killed every worker it ran on: the run stops "
                                     "there") from None
        finally:
            future.release()
        self.check(found["where"])
        found["outputs"] = {name: unpack(packed) for name, packed in found["outputs"].items()}
        return found

    def check(self, where: Dict) -> None:
        """Workers that differ in QEMU or in the firmware's code cannot be judged together."""
        with self.check_lock:
            for key in ("qemu", "code_sha256"):
                if key not in where:
                    continue
                value = (where[key], where.get("host", "?"))
                first = self.seen.setdefault(key, value)
                if first[0] != value[0]:
                    raise Mismatch(f"the workers differ in {key}: {first[0]} on {first[1]}, "
                                   f"{value[0]} on {value[1]}: no point is judged")

    def close(self) -> None:
        self.client.close()


class Mismatch(Exception):
    """Workers that cannot be judged together."""


def shared_files(tool: Path, code: Optional[str], factory: Optional[str]) -> Dict[str, Path]:
    """The files every worker needs once: the tool, and the firmware's code and factory store
    under their own names (their suffixes say their formats)."""
    files = {"kestomandrel": tool}
    for kind, path in (("code", code), ("factory", factory)):
        if path:
            files[f"{kind}-{Path(path).name}"] = Path(path)
    return files

