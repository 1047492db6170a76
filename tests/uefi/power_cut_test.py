#!/usr/bin/python3
"""Power cuts on OVMF, CI-sized: bench/power-cut's sweep over a sample of one update's writes that
covers every field (the first point, each state byte, the middle of the header, the name and the
data, the last point) and one loop cut at a random moment. Each must keep UEFI's promise: the
variable holds its old value until the new record is marked added, its new one from then on, and
no other variable changes. Torn cuts inside three of the sample's writes (--torn all --torn-points
3): each torn store is the store before the write but for bits the write clears, or a neighbour,
not booted again. Then a store damaged as no firmware writes it, a record header left
unwritten in the middle of the store, must be caught: the check must not call it old or new.
AnyWrite: a 1 KiB value overwritten by another (--setup, --write), a sample by fields refined to
exact windows, which must keep the promise too: old, then new, nothing else. OnACluster: points of
OVMF's first boot booted on a Dask worker.

    tests/uefi/power_cut_test.py [PowerCut | AnyWrite | OnACluster]
"""

import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from uefi_vm.bench.power_cut import bench as benches, boots, outcomes
from uefi_vm import firmware, store

ROOT = Path(__file__).resolve().parents[2]


TOOL = ROOT / "build/linux-static/kestomandrel"


class PowerCut(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.keep = Path(cls.work.name, "kept")
        # Torn cuts inside three of the sample's writes: where the outcome turns from old to new
        # (a state byte, one bit: its cuts are its neighbours, none booted) and two spread inside.
        run = subprocess.run([str(ROOT / "bench/power-cut"), "--firmware", "ovmf", "--sweep",
                              "fields", "--cuts", "1", "--seed", "7", "--jobs", "2", "--keep",
                              str(cls.keep), "--tool", str(TOOL), "--torn", "all",
                              "--torn-points", "3"], stdout=subprocess.PIPE, timeout=900)
        cls.status = run.returncode
        cls.result = json.loads(run.stdout.decode().splitlines()[-1]) if run.stdout else {}
        sweep, cuts = cls.result.get("sweep", {}), cls.result.get("cuts", [])
        print(f"Power cuts on ovmf: {len(sweep.get('points', []))} points of an update of "
              f"{sweep.get('writes')} writes, {sweep.get('counts')}; a loop cut: "
              f"{[cut['outcome'] for cut in cuts]}; torn: "
              f"{[(t['k'], t['mode'], t['outcome']) for t in sweep.get('torn', [])]}",
              flush=True)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_every_field_of_an_update_and_a_random_cut_keep_the_promise(self):
        self.assertEqual((self.status, self.result["failed"]), (0, 0))
        sweep = self.result["sweep"]
        points = sweep["points"]
        self.assertTrue({"header", "state", "name", "data"} <= {p["field"] for p in points})
        self.assertEqual((points[0]["k"], points[-1]["k"]), (0, sweep["writes"]))
        seen = [point["outcome"] for point in points]
        self.assertEqual(seen[0], "old")
        self.assertEqual(seen[-1], "new")
        # Old until the new record's state byte marks it added, new from then on.
        flip = seen.index("new")
        self.assertEqual(seen, ["old"] * flip + ["new"] * (len(seen) - flip))
        self.assertEqual(points[flip]["field"], "state")
        for point in points:
            self.assertEqual(point["read"], sweep["new" if point["outcome"] == "new" else "old"])
        self.assertEqual(len(self.result["cuts"]), 1)
        self.assertIn(self.result["cuts"][0]["outcome"], outcomes.KEPT)

    def test_torn_writes(self):
        sweep = self.result["sweep"]
        points = {point["k"]: point for point in sweep["points"]}
        torn = sweep["torn"]
        # x86 programs one byte: a program's three modes, no erase, at three writes at most (a
        # write of the bytes there already is not torn).
        self.assertEqual({t["mode"] for t in torn}, {"some", "one", "most"})
        self.assertLessEqual(len({t["k"] for t in torn}) + sweep["torn_unchanged"], 3)
        self.assertTrue(any("same_as" not in t for t in torn))
        flip = min(k for k, point in points.items() if point["outcome"] == "new")
        self.assertIn(flip, {t["k"] for t in torn})
        start = (self.keep / "sweep-0000.fd").read_bytes()
        for entry in torn:
            with self.subTest(k=entry["k"], mode=entry["mode"]):
                k = entry["k"]
                self.assertEqual(entry["neighbours"],
                                 [points[k - 1]["outcome"], points[k]["outcome"]])
                self.assertIn(entry["outcome"], outcomes.KEPT)
                self.assertFalse(entry["novel"])
                if k == flip:
                    # The state byte's one bit: the store at k-1 or at k, not booted again.
                    self.assertIn(entry["same_as"], ("k-1", "k"))
                    continue
                if "same_as" in entry:
                    continue
                # Kept between k-1 and k; the store at k-1 but for bits write k clears.
                kept = sorted(path.name for path in self.keep.glob("sweep-*.fd"))
                name = f"sweep-{k:04d}-{entry['mode']}-{entry['variant']}.fd"
                self.assertLess(kept.index(f"sweep-{k - 1:04d}.fd"), kept.index(name))
                self.assertLess(kept.index(name), kept.index(f"sweep-{k:04d}.fd"))
                before = (self.keep / f"sweep-{k - 1:04d}.fd").read_bytes()
                after = (self.keep / f"sweep-{k:04d}.fd").read_bytes()
                cut = (self.keep / name).read_bytes()
                differ = [i for i in range(len(start)) if cut[i] != before[i]]
                _, offset, written = entry["op"].split()
                self.assertEqual(differ, [int(offset, 16)])
                self.assertEqual(cut[differ[0]], int(written, 16))
                self.assertEqual(cut[differ[0]] & ~before[differ[0]], 0)
                self.assertEqual(after[differ[0]] & ~cut[differ[0]], 0)

    def test_a_store_no_firmware_writes_is_caught(self):
        # The store before the update, with a record header in the middle made blank: the
        # records after it are no longer reachable.
        kept = self.keep / "sweep-0000.fd"
        image = bytearray(kept.read_bytes())
        records = store.layout(image).records
        middle = records[len(records) // 2]
        image[middle.offset:middle.offset + middle.header] = b"\xff" * middle.header
        damaged = Path(self.work.name, "damaged.fd")
        damaged.write_bytes(image)
        reference = Path(self.work.name, "reference.fd")
        shutil.copyfile(kept, reference)
        bench = benches.Bench(firmware.resolve("ovmf"), ["--firmware", "ovmf"], TOOL,
                              "SysPrepOrder", Path(self.work.name), None, Path(self.work.name),
                              2)
        with ThreadPoolExecutor(2) as pool:
            before, after = pool.map(lambda path: boots.boot(bench, path, 300),
                                     (reference, damaged))
        sweep = self.result["sweep"]
        self.assertEqual(before.read, sweep["old"])
        judge = outcomes.judged(before, sweep["varies"], bench.key, sweep["old"], sweep["new"])
        outcome, collateral = judge(after)
        print(f"Power cuts on ovmf: a damaged store: {outcome}, read {after.read}, changed: "
              f"{collateral}", flush=True)
        self.assertNotIn(outcome, outcomes.KEPT)


class AnyWrite(unittest.TestCase):
    GUID = "{4B1D0E2A-6C3F-4E59-9A7B-1C2D3E4F5A6B}"

    def test_a_1_kib_write_refined_keeps_the_promise(self):
        with tempfile.TemporaryDirectory() as work:
            old, new = Path(work, "old.bin"), Path(work, "new.bin")
            old.write_bytes(bytes(range(256)) * 4)
            # No FF in the new value: its data is one run of changed bytes, one point.
            new.write_bytes(bytes(254 - (i % 255) for i in range(1024)))
            run = subprocess.run([str(ROOT / "bench/power-cut"), "--firmware", "ovmf", "--sweep",
                                  "fields", "--refine", "--jobs", "2", "--tool", str(TOOL),
                                  "--setup", f"/s KestoCut {self.GUID} /f old.bin",
                                  "--write", f"/s KestoCut {self.GUID} /f new.bin",
                                  "--file", str(old), "--file", str(new)],
                                 stdout=subprocess.PIPE, timeout=600)
        result = json.loads(run.stdout.decode().splitlines()[-1])
        sweep = result["sweep"]
        print(f"Power cuts on ovmf, a 1 KiB write: {sweep['writes']} writes, "
              f"{len(sweep['points'])} points in {sweep['seconds']} s, windows "
              f"{[(w['first'], w['last'], w['outcome']) for w in sweep['windows']]}", flush=True)
        self.assertEqual((run.returncode, result["failed"]), (0, 0))
        self.assertEqual((sweep["old"][:5], sweep["new"][:5]), ("00 01", "FE FD"))
        self.assertGreater(sweep["writes"], 1024)
        # Old, then new: two windows that meet at one write, the new record marked added.
        windows = sweep["windows"]
        self.assertEqual([w["outcome"] for w in windows], ["old", "new"])
        self.assertEqual((windows[0]["first"], windows[1]["last"]), (0, sweep["writes"]))
        self.assertEqual(windows[0]["last"] + 1, windows[1]["first"])
        self.assertEqual(windows[1]["phases"][0], "new record KestoCut state added")
        for point in sweep["points"]:
            self.assertEqual(point["read"], sweep[point["outcome"]])


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class OnACluster(unittest.TestCase):
    """A Dask scheduler and one one-thread worker on 127.0.0.1 (one VM at a time): --boot 2 on
    OVMF booted there, each point naming where it ran and the firmware's code it booted."""

    def test_first_boot_points_on_a_worker(self):
        with tempfile.TemporaryDirectory() as work:
            port = free_port()
            env = {**os.environ, "TMPDIR": work}
            started = []
            try:
                for command in (["dask", "scheduler", "--port", str(port)],
                                ["dask", "worker", f"tcp://127.0.0.1:{port}", "--nthreads", "1",
                                 "--local-directory", work]):
                    started.append(subprocess.Popen(
                        command + ["--host", "127.0.0.1", "--dashboard-address",
                                   f"127.0.0.1:{free_port()}"],
                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                        start_new_session=True))
                run = subprocess.run([str(ROOT / "bench/power-cut"), "--firmware", "ovmf",
                                      "--boot", "2", "--scheduler", f"tcp://127.0.0.1:{port}",
                                      "--tool", str(TOOL)], stdout=subprocess.PIPE,
                                     timeout=600)
            finally:
                # By process id, with their groups (the worker's nanny and its worker).
                for process in started:
                    os.killpg(process.pid, signal.SIGTERM)
                for process in started:
                    process.wait(30)
        result = json.loads(run.stdout.decode().splitlines()[-1])
        points = result["boot"]["points"]
        print(f"Power cuts on ovmf, on a cluster: {[p['outcome'] for p in points]} in "
              f"{result['boot']['seconds']} s", flush=True)
        self.assertEqual((run.returncode, result["failed"]), (0, 0))
        code = hashlib.sha256(Path(firmware.resolve("ovmf").code).read_bytes()).hexdigest()
        for point in points:
            self.assertEqual(point["outcome"], "old")
            self.assertEqual(point["where"]["code_sha256"], code)
            self.assertEqual(point["where"]["host"], socket.gethostname())


if __name__ == "__main__":
    unittest.main(verbosity=2)
