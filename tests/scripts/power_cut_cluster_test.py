#!/usr/bin/python3
"""bench/power-cut's boots on a real Dask cluster, without a VM: a scheduler and two workers (with
their nannies) on 127.0.0.1, on free ports, run the bench's stand-in harness. The points and
windows are those of the local pool, and each point names where it ran; a worker killed during a
boot changes nothing, no result delivered is computed again and the harness dies with its
worker; a point that kills every worker it runs on ends the run, naming it. Everything started
here is ended by its process id."""

import contextlib
import io
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import types
import unittest
from pathlib import Path

from uefi_vm.bench.power_cut import boots, outcomes, seam, sweep, windows, write

from power_cut_bench_test import VENDOR, FakeBench, a_write, an_update
from uefi_vm import flashlog, store

DASK = ["dask", "scheduler"]
WORKER = ["dask", "worker"]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has ended too.
    try:
        return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except OSError:
        return False


class Cluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="power-cut-cluster."))
        cls.started = []
        # Runs even when the set-up fails half way (tearDownClass would not): nothing is left.
        cls.addClassCleanup(cls.stop)
        port = free_port()
        cls.address = f"tcp://127.0.0.1:{port}"
        # A point that kills its worker twice is given up (Dask's default is three times).
        # The files the workers keep (seam.SHARED) go into the test's directory.
        env = {**os.environ, "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1",
               "TMPDIR": str(cls.work)}
        cls.start(DASK + ["--host", "127.0.0.1", "--port", str(port), "--dashboard-address",
                          f"127.0.0.1:{free_port()}"], env)
        for number in range(2):
            cls.start(WORKER + [cls.address, "--nthreads", "1", "--host", "127.0.0.1",
                                "--dashboard-address", f"127.0.0.1:{free_port()}",
                                "--local-directory", str(cls.work / f"worker-{number}")], env)
        cls.tool = cls.work / "tool"
        cls.tool.write_bytes(b"the tool")
        cls.executor = seam.Cluster(cls.address, {"kestomandrel": cls.tool},
                                    "qemu-system-x86_64", "", workers=2)

    @classmethod
    def start(cls, command, env):
        with open(cls.work / f"log-{len(cls.started)}", "wb") as log:
            cls.started.append(subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                                stderr=log, start_new_session=True))

    @classmethod
    def tearDownClass(cls):
        cls.executor.close()

    @classmethod
    def stop(cls):
        # Each process started here, with its group (a nanny's worker): by process id.
        for process in cls.started:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
        for process in cls.started:
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        subprocess.run(["rm", "-rf", str(cls.work)])

    def bench(self, name: str, executor) -> FakeBench:
        work = self.work / name
        work.mkdir()
        made = FakeBench(None, ["--firmware", "ovmf"], self.tool, "SysPrepOrder", work, None,
                         work / "kept", 2)
        made.executor = executor
        return made

    def sweep(self, made: FakeBench):
        start, log = an_update()
        final = store.layout(flashlog.rebuild(start, log.ops, len(log.ops)))
        made.fake_log = made.work / "log"
        reference = made.work / "reference.fd"
        reference.write_bytes(start)
        control = boots.boot(made, reference, 10)
        judge = outcomes.judged(control, [], made.key, "05 00 00 00", "06 00 00 00")
        with contextlib.redirect_stderr(io.StringIO()):
            return windows.sampled(made, "sweep", start, log.ops, [0, 1, 62, 91, 94], 0, final,
                                   10, judge, refining=True)[0]

    @staticmethod
    def plain(found):
        return [{key: value for key, value in point.items() if key not in ("seconds", "where")}
                for point in found["points"]], found["windows"]

    def test_the_cluster_finds_what_the_local_pool_finds(self):
        here = self.sweep(self.bench("local", seam.Local()))
        there = self.sweep(self.bench("cluster", self.executor))
        self.assertEqual(self.plain(there), self.plain(here))
        self.assertEqual([w["outcome"] for w in there["windows"]], ["old", "new"])
        workers = set()
        for point in there["points"]:
            self.assertEqual(point["where"]["host"], socket.gethostname())
            self.assertIn("qemu", point["where"])
            workers.add(point["where"]["worker"])
        self.assertEqual(len(workers), 2)
        self.assertNotIn("where", here["points"][0])

    def test_a_logged_write_with_a_file(self):
        # The logged run goes to a worker too, with the file the command names.
        found = {}
        for name, executor in (("write-here", seam.Local()), ("write-there", self.executor)):
            made = self.bench(name, executor)
            start, log = a_write("creation")
            (made.work / "factory.fd").write_bytes(start)
            (made.work / "run.log").write_text(log)
            (made.work / "ab.bin").write_bytes(b"AB")
            made.fake_log = made.work / "run.log"
            made.firmware = types.SimpleNamespace(factory_format="raw",
                                                  factory=made.work / "factory.fd")
            guid = "{" + str(VENDOR).upper() + "}"
            command = write.parse([], f"/s MyVar {guid} /f ab.bin", [made.work / "ab.bin"])
            made.name, made.guid = command.name, command.guid
            with contextlib.redirect_stderr(io.StringIO()):
                found[name] = sweep.sweep(made, False, None, command, refining=True)[0]
        self.assertEqual(self.plain(found["write-there"]), self.plain(found["write-here"]))
        self.assertEqual([w["outcome"] for w in found["write-there"]["windows"]], ["old", "new"])

    def test_a_worker_killed_during_a_boot(self):
        made = self.bench("killed", self.executor)
        runs = made.work / "runs"
        made.fake_options = ("--fake-runs", str(runs), "--fake-delay", "1")
        pids = self.executor.client.run(os.getpid)
        found = {}
        sweeping = threading.Thread(target=lambda: found.update(self.sweep(made)))
        sweeping.start()
        # Once a few boots have run, one worker dies in the middle of its next one.
        deadline = time.monotonic() + 60
        while (not runs.exists() or len(runs.read_text().splitlines()) < 4) \
                and time.monotonic() < deadline:
            time.sleep(0.1)
        os.kill(next(iter(pids.values())), signal.SIGKILL)
        harnesses = [int(line.split()[0]) for line in runs.read_text().splitlines()]
        sweeping.join(240)
        self.assertFalse(sweeping.is_alive())
        expected = self.sweep(self.bench("expected", seam.Local()))
        self.assertEqual(self.plain(found), self.plain(expected))
        ks = [point["k"] for point in found["points"]]
        self.assertEqual(ks, sorted(set(ks)))  # every point judged once
        # Booted: each point and the control once, and at most the boot the worker died in again.
        booted = len(runs.read_text().splitlines())
        self.assertLessEqual(booted, len(found["points"]) + 1 + 1)
        time.sleep(1)
        self.assertEqual([pid for pid in harnesses if alive(pid)], [])
        # The run directory the killed worker could not remove went with a later run.
        self.assertEqual(list(self.work.glob("power-cut-run.*")), [])
        self.executor.client.wait_for_workers(2, timeout=120)

    def test_a_point_that_kills_its_workers_ends_the_run(self):
        made = self.bench("killer", self.executor)
        image = made.work / "sweep-0000042.fd"
        image.write_bytes(b"KILL" + bytes(100))
        with self.assertRaises(seam.PointKilledWorkers) as ended:
            boots.boot(made, image, 10)
        self.assertIn("sweep-0000042.fd", str(ended.exception))
        self.executor.client.wait_for_workers(2, timeout=120)


class Workers(unittest.TestCase):
    def test_workers_that_differ_are_refused(self):
        cluster = object.__new__(seam.Cluster)
        cluster.seen, cluster.check_lock = {}, threading.Lock()
        one = {"host": "a", "qemu": "QEMU emulator version 7.2.22", "code_sha256": "11"}
        cluster.check(one)
        cluster.check({**one, "host": "b", "kernel": "6.12"})  # another host, the same QEMU
        for key, value, said in (("qemu", "QEMU emulator version 9.2.1",
                                  "qemu: QEMU emulator version 7.2.22 on a, QEMU emulator "
                                  "version 9.2.1 on c"),
                                 ("code_sha256", "22", "code_sha256: 11 on a, 22 on c")):
            with self.subTest(key=key), self.assertRaises(seam.Mismatch) as refused:
                cluster.check({**one, "host": "c", key: value})
            self.assertEqual(str(refused.exception),
                             f"the workers differ in {said}: no point is judged")


if __name__ == "__main__":
    unittest.main(verbosity=2)
