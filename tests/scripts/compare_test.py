#!/usr/bin/python3
"""bench/power-cut --compare on hand-made runs: windows gone, new and changed, aligned by the phases
of the writes and not by k, torn cuts by phase and mode, the cuts by their counts, the status, and
runs it must refuse."""

import contextlib
import io
import json
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from uefi_vm.bench.power_cut import cli

PHASES = ("new record header", "new record data", "new record state added",
          "old record state deleted")
GP = {"console": "cpu exception", "exception": "X64 Exception Type - 0D(#GP - General Protection)"}
UD = {"console": "cpu exception", "exception": "X64 Exception Type - 06(#UD - Invalid Opcode)"}


def run(outcomes, base=0, extra=(), **kind):
    """A run whose sweep has a point for each phase, K counted from BASE after the EXTRA phases
    (a build that writes more first); each outcome "old", or an outcome and its brick."""
    phases = list(extra) + list(PHASES)
    given = list(("old",) * len(extra)) + list(outcomes)
    points = []
    for k, (name, outcome) in enumerate(zip(phases, given), start=base):
        outcome, brick = (outcome, None) if isinstance(outcome, str) else outcome
        points.append({"k": k, "field": "header", "phase": name, "outcome": outcome,
                       **({"brick": brick} if brick else {})})
    return {"firmware": "ovmf", "variable": "SysPrepOrder", "sweep": {"points": points, **kind}}


FIXED = run(["old", "old", "lost", "new"])
FIXED["sweep"]["windows"] = [{"first": 0, "last": 1, "outcome": "old"},
                             {"first": 2, "last": 2, "outcome": "lost",
                              "phases": ["new record state added"] * 2},
                             {"first": 3, "last": 3, "outcome": "new"}]
GOOD = run(["old", "old", "new", "new"])


def phased(*points, base=0):
    """A run from (phase, outcome) points, K counted from BASE."""
    return {"firmware": "ovmf", "variable": "SysPrepOrder", "sweep": {"points": [
        {"k": k, "field": "f", "phase": name, "outcome": outcome,
         **({"brick": GP} if outcome == "brick" else {})}
        for k, (name, outcome) in enumerate(points, start=base)]}}


# A brick and a loss whose boundary falls inside one phase, in two builds that write it apart.
NEIGHBOURS = phased(("erase", "old"), ("header", "brick"), ("header", "lost"), ("record", "lost"),
                    ("free", "old"))


class Compare(unittest.TestCase):
    CASES = [  # name, A, B, status, (gone, new, changed, grown, shrunk) of the sweep
        ("identical", FIXED, FIXED, 0, (0, 0, 0, 0, 0)),
        ("a window fixed", FIXED, GOOD, 0, (1, 0, 0, 0, 0)),
        ("a new window", GOOD, FIXED, 1, (0, 1, 0, 0, 0)),
        ("a brick's exception changed", run(["old", ("brick", GP), "new", "new"]),
         run(["old", ("brick", UD), "new", "new"]), 0, (0, 0, 1, 0, 0)),
        ("lost turned corrupt", run(["old", "lost", "lost", "new"]),
         run(["old", "corrupt", "corrupt", "new"]), 0, (0, 0, 1, 0, 0)),
        ("a window moved to another phase", run(["lost", "old", "new", "new"]),
         run(["old", "old", "new", "lost"]), 1, (1, 1, 0, 0, 0)),
        ("k shifted, more writes first, same phases", run(["old", "lost", "new", "new"]),
         run(["old", "lost", "new", "new"], base=40, extra=("volume header", "free")),
         0, (0, 0, 0, 0, 0)),
        ("neighbours sharing a phase, unchanged", NEIGHBOURS,
         phased(("erase", "old"), ("header", "brick"), ("header", "brick"), ("header", "lost"),
                ("record", "lost"), ("free", "old"), base=90), 0, (0, 0, 0, 0, 0)),
        ("neighbours sharing a phase, one changed", NEIGHBOURS,
         phased(("erase", "old"), ("header", "brick"), ("header", "corrupt"),
                ("record", "corrupt"), ("free", "old")), 0, (0, 0, 1, 0, 0)),
        ("a window grew", run(["old", "lost", "old", "new"]), run(["old", "lost", "lost", "new"]),
         1, (0, 0, 0, 1, 0)),
        ("a window shrank", run(["old", "lost", "lost", "new"]),
         run(["old", "lost", "old", "new"]), 0, (0, 0, 0, 0, 1)),
    ]

    def compare(self, a, b):
        with tempfile.TemporaryDirectory() as work:
            files = [Path(work, "a.json"), Path(work, "b.json")]
            for path, content in zip(files, (a, b)):  # None: no file
                if content is not None:
                    path.write_text(content if isinstance(content, str)
                                    else "progress\n" + json.dumps(content) + "\n")
            out, err = io.StringIO(), io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
                status = cli.main(["--compare", *map(str, files)])
        return status, out.getvalue(), err.getvalue()

    def test_changes_between_two_runs(self):
        for name, a, b, status, changes in self.CASES:
            with self.subTest(name):
                found, out, _ = self.compare(a, b)
                result = json.loads(out.splitlines()[-1])
                self.assertEqual(found, status)
                self.assertEqual(tuple(len(result["sweep"][key]) for key in
                                       ("gone", "new", "changed", "grown", "shrunk")), changes)
                self.assertEqual(result["regressions"], changes[1] + changes[3])
        _, out, _ = self.compare(*self.CASES[3][1:3])
        self.assertIn("sweep: changed: brick #GP -> brick #UD", out)

    def test_torn_cuts_by_phase_and_mode(self):
        def torn(*cuts, base=0):
            found = run(["old", "old", "new", "new"], base=base)
            found["sweep"]["torn"] = [{"k": base + k, "mode": mode, "variant": 1, "phase": name,
                                       "outcome": outcome} for k, name, mode, outcome in cuts]
            return found
        kept = torn((2, "new record state added", "one", "old"),
                    (2, "new record state added", "most", "new"),
                    (3, "old record state deleted", "some", "new"))
        for name, b, status, counts in (
                ("the same", kept, 0, (0, 0, 0)),
                ("broken where A kept it, k shifted", torn(
                    (2, "new record state added", "one", "lost"),
                    (2, "new record state added", "most", "new"), base=7), 1, (1, 0, 0)),
                ("broken where A tore nothing", torn(
                    (1, "new record data", "some", "corrupt")), 0, (0, 0, 1)),
                ("A's broken, B's kept", kept, 0, (0, 1, 0))):
            with self.subTest(name):
                a = kept if name != "A's broken, B's kept" else torn(
                    (3, "old record state deleted", "some", "collateral"))
                found, out, _ = self.compare(a, b)
                result = json.loads(out.splitlines()[-1])
                self.assertEqual(found, status)
                self.assertEqual(tuple(len(result["sweep"]["torn"][key]) for key in
                                       ("broken", "fixed", "unseen")), counts)
                self.assertEqual(result["regressions"], counts[0])
        _, out, _ = self.compare(kept, torn((2, "new record state added", "one", "lost")))
        self.assertIn('sweep: torn broken: lost at "new record state added" (one, B k=2)', out)
        # Without torn cuts on either side, the comparison says nothing of them.
        self.assertNotIn("torn", json.loads(self.compare(GOOD, GOOD)[1].splitlines()[-1])["sweep"])

    def test_cuts_by_counts(self):
        for name, b, status in (("the same counts", ["old", "new"], 0),
                                ("one lost", ["old", "lost"], 1)):
            with self.subTest(name):
                found, out, _ = self.compare(
                    {"variable": "V", "cuts": [{"outcome": "old"}, {"outcome": "new"}]},
                    {"variable": "V", "cuts": [{"outcome": outcome} for outcome in b]})
                self.assertEqual(found, status)
                self.assertEqual(json.loads(out.splitlines()[-1])["regressions"], status)

    def test_what_cannot_be_compared(self):
        other = run(["old"] * 4)
        other["variable"] = "Other"
        for name, a, b, said in (
                ("no file", None, GOOD, "cannot be read"),
                ("not JSON", "power-cut: no VM\n", GOOD, "not the JSON line"),
                ("another program's JSON", {"BootOrder": "00 00"}, GOOD, "not the JSON line"),
                ("points without k", {"variable": "V", "sweep": {"points": [{}]}}, GOOD,
                 "points"),
                ("torn cuts without a mode", {"variable": "V", "sweep": {
                    "points": [], "torn": [{"k": 1, "outcome": "old"}]}}, GOOD, "torn cuts"),
                ("two variables", GOOD, other, "one variable"),
                ("two writes", run(["old"] * 4, write="/s V G 0"), GOOD, "one write")):
            with self.subTest(name):
                status, out, err = self.compare(a, b)
                self.assertEqual((status, out), (125, ""))
                self.assertIn(said, err)


class Matrix(unittest.TestCase):
    """bench/power-cut-matrix on runs already there: nothing boots, and each firmware's two
    releases are compared, kind by kind; and its cells run --cells at a time, against a
    stand-in for bench/power-cut."""
    MATRIX = Path(__file__).resolve().parents[2] / "bench" / "power-cut-matrix"

    def matrix(self, *arguments):
        return subprocess.run([str(self.MATRIX), *arguments], capture_output=True, text=True)

    def beside_stand_in(self, work: str, body: str) -> Path:
        """The matrix copied into WORK/bench beside a stand-in bench/power-cut running BODY (sh);
        the copy's path."""
        bench = Path(work, "bench")
        bench.mkdir()
        shutil.copy(self.MATRIX, bench / "power-cut-matrix")
        (bench / "power-cut").write_text("#!/bin/sh\n" + body)
        (bench / "power-cut").chmod(0o755)
        return bench / "power-cut-matrix"

    def test_releases_compared_from_kept_runs(self):
        for name, b, status in (("fixed", GOOD, 0), ("broken", FIXED, 1)):
            with self.subTest(name), tempfile.TemporaryDirectory() as out:
                for release, run_ in (("bookworm", FIXED if b is GOOD else GOOD), ("trixie", b)):
                    Path(out, f"{release}:ovmf").mkdir()
                    Path(out, f"{release}:ovmf", "update-4.json").write_text(
                        json.dumps({**run_, "failed": 0 if run_ is GOOD else 1}))
                done = self.matrix("--out", out, "--kinds", "update-4", "bookworm:ovmf",
                                   "trixie:ovmf")
                self.assertEqual(done.returncode, 1, done.stderr)  # a failed point either way
                self.assertIn("update-4: done before", done.stderr)
                compared = Path(out, "compare", "ovmf-update-4.txt").read_text().splitlines()
                self.assertEqual(json.loads(compared[-1])["regressions"], status)

    def test_cells_at_a_time_with_the_scheduler_handed_on(self):
        # The matrix beside a stand-in bench/power-cut that notes its arguments and when it ran.
        with tempfile.TemporaryDirectory() as work:
            matrix = self.beside_stand_in(
                work, f"echo \"$(date +%s.%N) start $*\" >> {work}/runs\n"
                "sleep 1\n"
                f"echo \"$(date +%s.%N) end\" >> {work}/runs\n"
                "echo '{\"failed\": 0}'\n")
            done = subprocess.run([str(matrix), "--out", f"{work}/out",
                                   "--kinds", "loop,boot,reclaim,cuts", "--cells", "2",
                                   "--scheduler", "tcp://127.0.0.1:8786", "ovmf"],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            runs = Path(work, "runs").read_text().splitlines()
            starts = [line for line in runs if " start " in line]
            self.assertEqual(len(starts), 4)
            for line in starts:
                self.assertIn("--scheduler tcp://127.0.0.1:8786", line)
            # Two at a time: never more than two started and not ended.
            running, most = 0, 0
            for line in sorted(runs, key=lambda line: float(line.split()[0])):
                running += 1 if " start " in line else -1
                most = max(most, running)
            self.assertEqual(most, 2)
            for kind in ("loop", "boot", "reclaim", "cuts"):
                self.assertEqual(Path(work, "out", "ovmf", f"{kind}.json").read_text(),
                                 '{"failed": 0}\n')

    def test_torn_runs_beside_the_whole_ones(self):
        # Torn: each kind with points gets the tearing options and files of its own, cuts none;
        # the whole writes' runs already there are neither used nor touched.
        with tempfile.TemporaryDirectory() as work:
            matrix = self.beside_stand_in(
                work, f"echo \"$*\" >> {work}/runs\necho '{{\"failed\": 0}}'\n")
            for release in ("bookworm", "trixie"):
                Path(work, "out", f"{release}:ovmf").mkdir(parents=True)
                Path(work, "out", f"{release}:ovmf", "reclaim.json").write_text("whole\n")
            done = subprocess.run([str(matrix), "--out", f"{work}/out",
                                   "--kinds", "reclaim,update-4,cuts", "--torn", "some,part",
                                   "--torn-points", "3", "bookworm:ovmf", "trixie:ovmf"],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            runs = Path(work, "runs").read_text().splitlines()
            self.assertEqual(len(runs), 6, runs)  # two runs of two kinds, then two comparisons
            for line in runs[:4]:
                self.assertIn("--refine", line)
                self.assertIn(" --torn some,part --torn-points 3 --seed 7", line)
            self.assertIn("cuts: its moments fall between writes, never torn", done.stderr)
            for release in ("bookworm", "trixie"):
                folder = Path(work, "out", f"{release}:ovmf")
                self.assertEqual(sorted(p.name for p in folder.glob("*.json")),
                                 ["reclaim-torn.json", "reclaim.json", "update-4-torn.json"])
                self.assertEqual((folder / "reclaim.json").read_text(), "whole\n")
            self.assertEqual(sorted(p.name for p in Path(work, "out", "compare").iterdir()),
                             ["ovmf-reclaim-torn.txt", "ovmf-update-4-torn.txt"])
            self.assertTrue(runs[4].startswith("--compare ") and
                            runs[4].endswith("trixie:ovmf/reclaim-torn.json"), runs[4])

    def test_mistakes(self):
        for wrong in ((), ("--kinds", "update-5", "ovmf"), ("--jobs",), ("--fast", "ovmf"),
                      ("--cells", "0", "ovmf"), ("--cells", "two", "ovmf"),
                      ("--torn", "all", "--torn-points", "0", "ovmf"),
                      ("--seed", "-1", "ovmf")):
            with self.subTest(wrong=wrong):
                done = self.matrix(*wrong)
                self.assertEqual((done.returncode, done.stdout), (125, ""))
                self.assertEqual(len(done.stderr.splitlines()), 1)
        self.assertEqual(self.matrix("--help").returncode, 0)


if __name__ == "__main__":
    unittest.main()
