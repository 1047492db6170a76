#!/usr/bin/python3
"""Tests of report/kestomandrel-loop-report on recorded output of the tool (streams/, whose
README says how each was made). The Ctrl-C test runs KESTOMANDREL_DIR_TOOL, as root."""

import importlib.util
import json
import os
import random
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

# report/kestomandrel_loop_report.py: the program under a name Python imports (CTest puts report/
# on the path).
import kestomandrel_loop_report as report

HERE = Path(__file__).resolve().parent
PROGRAM = str(HERE.parents[1] / "report" / "kestomandrel-loop-report")

# file, whole iterations, and how the loop ended
STREAMS = [
    ("linux-set-failed.bin", 26, ("set-failed", 26, "0x5aa")),
    ("linux-get-failed.bin", 10, ("get-failed", 10, "0xcb")),
    ("wine-interrupted.bin", 28, ("interrupted", None, None)),
]


def recorded(name):
    return (HERE / "streams" / name).read_bytes()


def edit(data, *changes):
    for old, new in changes:
        assert data.count(old) == 1, old
        data = data.replace(old, new)
    return data


def parse(data, cuts=(), times=None):
    """Feeds data cut at cuts, piece i arriving at times[i] (or at i). Returns the iterations
    and the outcome."""
    stream, iterations, outcome = report.START, [], None
    bounds = [0, *cuts, len(data)]
    for i, (start, end) in enumerate(zip(bounds, bounds[1:])):
        stream, made, fault = report.feed(stream, data[start:end], times[i] if times else i)
        iterations += made
        outcome = outcome or fault
    return iterations, outcome or report.finish(stream)


def without_times(iterations):
    return [it._replace(time=None) for it in iterations]


BASE = recorded("linux-set-failed.bin")


class Parser(unittest.TestCase):
    def test_recorded_streams_whole_and_cut_anywhere(self):
        cuts = random.Random(1)
        for name, count, end in STREAMS:
            with self.subTest(name):
                data = recorded(name)
                whole, outcome = parse(data)
                self.assertEqual([(it.count, it.ok) for it in whole],
                                 [(k, True) for k in range(count)])
                self.assertEqual(outcome[:3], end)
                for points in (range(1, len(data)), sorted(cuts.sample(range(1, len(data)), 50))):
                    pieces, piecewise = parse(data, points)
                    self.assertEqual(without_times(pieces), without_times(whole))
                    self.assertEqual(piecewise, outcome)

    def test_edited_streams(self):
        wine = recorded("wine-interrupted.bin")
        ending = BASE.rindex(b"\nSetFirmware")
        hex_7 = (b" 03  00  00  00 ", b" 07  00  00  00 ")  # counter 3 read back as 7
        chars_7 = (b"\n\x03 \x00 \x00 \x00 \n", b"\n\x07 \x00 \x00 \x00 \n")
        five = b"(0x4) bytes\n In Hex Bytes:\n 05  00  00  00 \n"  # counter 5 read back in 5 bytes
        long_5 = (b"4" + five, b"5(0x5) bytes\n In Hex Bytes:\n 05  00  00  00  00 \n")
        chars_5 = (b"\n\x05 \x00 \x00 \x00 \n", b"\n\x05 \x00 \x00 \x00 \x00 \n")
        two_ways = (b"4(0x4) bytes\n In Hex Bytes:\n 02 ", b"4(0x5) bytes\n In Hex Bytes:\n 02 ")
        renamed = (b"\x06 \x00 \x00 \x00 \n\nSysPrepOrder", b"\x06 \x00 \x00 \x00 \n\nBootOrder")
        cases = [  # name, data, iterations, mismatches, (end kind, end count)
            ("stopped after a whole iteration", BASE[:ending], 26, [], ("interrupted", None)),
            ("stopped mid-iteration", BASE[: BASE.index(b" 05  00 ")], 5, [],
             ("interrupted", None)),
            ("another value", edit(BASE, hex_7, chars_7), 26, [(3, b"\x07\0\0\0")],
             ("set-failed", 26)),
            ("another length", edit(BASE, long_5, chars_5), 26, [(5, b"\x05\0\0\0\0")],
             ("set-failed", 26)),
            ("characters unlike the hex", edit(BASE, hex_7), 3, [], ("malformed", 3)),
            ("the length in two ways", edit(BASE, two_ways), 2, [], ("malformed", 2)),
            ("another variable", edit(BASE, renamed), 7, [], ("malformed", 7)),
            ("the failure at another count", edit(BASE, (b"count : 26.", b"count : 25.")), 26, [],
             ("malformed", 26)),
            ("text after the ending", BASE + b"\n", 26, [], ("malformed", 26)),
            ("a LF among CR LF", edit(wine, (b"\r\n 02 ", b"\n 02 ")), 2, [], ("malformed", 2)),
        ]
        for name, data, count, mismatches, end in cases:
            with self.subTest(name):
                iterations, outcome = parse(data)
                self.assertEqual(len(iterations), count)
                wrong = [(it.count, it.read) for it in iterations if not it.ok]
                self.assertEqual(wrong, mismatches)
                self.assertEqual((outcome.kind, outcome.count), end)

    def test_stalls_from_arrival_times(self):
        # Every byte arrives 0.5 ms after the one before, and iteration 12 a second late.
        late = BASE.index(b" 0C  00 ")
        times = [i * 0.0005 + (1.0 if i >= late else 0) for i in range(len(BASE))]
        iterations, outcome = parse(BASE, range(1, len(BASE)), times)
        arrivals = [it.time for it in iterations]
        exact = round((arrivals[12] - arrivals[11]) * 1000, 3)
        for stall_ms, counts in ((250, [12]), (exact, [12]), (2000, []), (1, list(range(1, 26)))):
            with self.subTest(stall_ms=stall_ms):
                summary = report.summarize("SysPrepOrder", arrivals, [], outcome, stall_ms)
                self.assertEqual([stall["count"] for stall in summary["stalls"]], counts)
        self.assertGreater(summary["interval_ms"]["max"], 1000)
        self.assertAlmostEqual(summary["rate"], 25 / (arrivals[-1] - arrivals[0]), places=3)


class Program(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.path = lambda name: Path(directory.name, name)

    def start(self, *options, **popen):
        return subprocess.Popen(["/usr/bin/python3", PROGRAM, *options], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, **popen)

    def run_report(self, data, *options):
        return subprocess.run(["/usr/bin/python3", PROGRAM, *options], input=data,
                              capture_output=True)

    def test_input_that_is_not_the_loops(self):
        for name, data in (("empty", b""), ("/g", recorded("linux-g.bin")),
                           ("no privilege", recorded("linux-no-privilege.bin")),
                           ("a line break only", b"\n"), ("garbage", b"\x1b[2J" * 500)):
            with self.subTest(name):
                done = self.run_report(data, "--json", self.path("j"))
                self.assertEqual((done.returncode, done.stdout), (2, b""))
                self.assertEqual(done.stderr.count(b"\n"), 1)
                self.assertFalse(self.path("j").exists())

    def test_files_of_a_run_with_a_mismatch(self):
        data = edit(BASE, (b" 03  00  00  00 ", b" 07  00  00  00 "), (b"\n\x03 ", b"\n\x07 "))
        j, c, log, plot = (self.path(name) for name in ("j", "c", "l", "p.png"))
        done = self.run_report(data, "--json", j, "--csv", c, "--log", log, "--plot", plot)
        self.assertEqual(done.returncode, 1)
        result = json.loads(j.read_text())
        self.assertEqual(set(result), {"variable", "iterations", "seconds", "rate", "interval_ms",
                                       "stalls", "mismatches", "end"})
        self.assertEqual(set(result["interval_ms"]), {"p50", "p99", "max"})
        self.assertEqual((result["variable"], result["iterations"]), ("SysPrepOrder", 26))
        self.assertEqual(result["mismatches"], [{"count": 3, "read": "07 00 00 00"}])
        self.assertEqual(result["end"], {"kind": "set-failed", "count": 26, "code": "0x5aa"})
        rows = [line.split(",") for line in c.read_text().splitlines()]
        self.assertEqual(rows[0], ["count", "seconds", "interval_ms", "read", "ok"])
        self.assertEqual([row[0] for row in rows[1:]], [str(k) for k in range(26)])
        self.assertEqual((rows[1][2], rows[4][3:], rows[5][3:]),
                         ("", ["07 00 00 00", "0"], ["04 00 00 00", "1"]))
        self.assertEqual(log.read_bytes(), data)
        if importlib.util.find_spec("matplotlib"):
            self.assertEqual(plot.read_bytes()[:8], b"\x89PNG\r\n\x1a\n")

    def wait_for_log(self, log, size):
        deadline = time.monotonic() + 30
        while not log.exists() or log.stat().st_size < size:
            self.assertLess(time.monotonic(), deadline, "the report logged nothing")
            time.sleep(0.02)

    def test_signals(self):
        half = BASE.index(b" 0D  00 ")
        # name, how many SIGINTs, whether the rest of the input comes after them
        for name, signals, closed in (("one SIGINT: read to the end", 1, True),
                                      ("two SIGINTs: stop reading at once", 2, False)):
            with self.subTest(name):
                log, output = self.path(f"{signals}.log"), self.path(f"{signals}.json")
                process = self.start("--log", log, "--json", output, stdin=subprocess.PIPE)
                process.stdin.write(BASE[:half])
                process.stdin.flush()
                self.wait_for_log(log, half)  # the report is reading: its handlers are in place
                for _ in range(signals):
                    process.send_signal(signal.SIGINT)
                    time.sleep(0.3)  # signals sent together may be taken as one
                if closed:
                    process.stdin.write(BASE[half:])
                    process.stdin.close()
                self.assertEqual(process.wait(timeout=30), 0)  # the input stays open otherwise
                process.stdin.close()
                result = json.loads(output.read_text())
                self.assertEqual((result["iterations"], result["end"]["kind"]),
                                 (26, "set-failed") if closed else (13, "interrupted"))
                self.assertEqual(process.stderr.read().count(b"stopped reading"), signals - 1)
                process.stdout.close()
                process.stderr.close()

    def test_ctrl_c_reaches_the_tool_and_the_report(self):
        tool = os.environ.get("KESTOMANDREL_DIR_TOOL")
        if not tool or os.geteuid() != 0:
            self.skipTest("needs root and the test-store tool in KESTOMANDREL_DIR_TOOL")
        os.makedirs(os.environ["KESTOMANDREL_TEST_EFIVARS"], exist_ok=True)

        def member_of(group):  # a terminal's foreground job: one group, SIGINT not ignored
            return lambda: (signal.signal(signal.SIGINT, signal.SIG_DFL), os.setpgid(0, group))

        loop = subprocess.Popen([tool, "/t", "LoopReportCtrlC"], stdout=subprocess.PIPE,
                                preexec_fn=member_of(0))
        process = self.start("--log", self.path("l"), "--json", self.path("j"), stdin=loop.stdout,
                             preexec_fn=member_of(loop.pid))
        loop.stdout.close()
        time.sleep(1)
        os.killpg(loop.pid, signal.SIGINT)
        process.communicate(timeout=30)
        loop.wait(timeout=30)
        self.assertEqual(process.returncode, 0)
        result = json.loads(self.path("j").read_text())
        printed = self.path("l").read_bytes().count(b"In Character Bytes:")
        self.assertGreater(printed, 5)
        self.assertEqual((result["iterations"], result["end"]["kind"]), (printed, "interrupted"))


if __name__ == "__main__":
    unittest.main()
