#!/usr/bin/python3
"""The loop run to the end of a firmware's variable store, CI-sized: bench/store-fill with the
store first filled by large writes, so that the loop meets the end in a minute. The loop must end
with the store's refusal (0x5AA) at the iteration after its last, the variable must keep the last
counter written across a reboot, and the loop must run again after it.

    tests/uefi/store_fill_test.py FIRMWARE
"""

import json
import subprocess
import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# KiB left for the loop by the prefill (x86 kernels keep 5 KiB of the store free themselves), and
# the build of the tool each firmware runs.
PREFILL = {"ovmf": 8, "aavmf": 2}
PRESET = {"ovmf": "linux-static", "aavmf": "linux-aarch64-static"}
FIRMWARE = "ovmf"


class StoreFill(unittest.TestCase):
    def test_loop_to_the_end_of_the_store_and_after_a_reboot(self):
        run = subprocess.run([str(ROOT / "bench/store-fill"), "--firmware", FIRMWARE,
                              "--prefill", str(PREFILL[FIRMWARE]), "--resume", "2", "--tool",
                              str(ROOT / "build" / PRESET[FIRMWARE] / "kestomandrel")],
                             stdout=subprocess.PIPE, timeout=900)
        self.assertEqual(run.returncode, 0)
        result = json.loads(run.stdout.decode().splitlines()[-1])
        print(json.dumps(result), flush=True)
        self.assertEqual(result["end"]["kind"], "set-failed")
        self.assertEqual(result["end"]["code"], "0x5aa")
        written = result["iterations"]
        self.assertGreaterEqual(written, 10)
        self.assertEqual(result["end"]["count"], written)
        last = (written - 1).to_bytes(4, "little")
        self.assertEqual(result["kept"], " ".join(f"{byte:02X}" for byte in last))
        self.assertGreaterEqual(result["resumed"], 2)


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in PREFILL:
        sys.exit(f"usage: {sys.argv[0]} {'|'.join(PREFILL)}")
    FIRMWARE = sys.argv.pop(1)
    unittest.main(verbosity=2)
