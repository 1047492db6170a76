#!/usr/bin/python3
"""Power cuts on OVMF, CI-sized: bench/power-cut's sweep over a sample of one update's writes that
covers every field (the first point, each state byte, the middle of the header, the name and the
data, the last point) and one loop cut at a random moment. Each must keep UEFI's promise: the
variable holds its old value until the new record is marked added, its new one from then on, and
no other variable changes. Then a store damaged as no firmware writes it, a record header left
unwritten in the middle of the store, must be caught: the check must not call it old or new.

    tests/uefi/power_cut_test.py
"""

import json
import shutil
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
        run = subprocess.run([str(ROOT / "bench/power-cut"), "--firmware", "ovmf", "--sweep",
                              "fields", "--cuts", "1", "--seed", "7", "--jobs", "2", "--keep",
                              str(cls.keep), "--tool", str(TOOL)], stdout=subprocess.PIPE,
                             timeout=900)
        cls.status = run.returncode
        cls.result = json.loads(run.stdout.decode().splitlines()[-1]) if run.stdout else {}
        sweep, cuts = cls.result.get("sweep", {}), cls.result.get("cuts", [])
        print(f"Power cuts on ovmf: {len(sweep.get('points', []))} points of an update of "
              f"{sweep.get('writes')} writes, {sweep.get('counts')}; a loop cut: "
              f"{[cut['outcome'] for cut in cuts]}", flush=True)

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
