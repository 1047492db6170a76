#!/usr/bin/python3
"""bench/power-cut without a VM: QEMU's flash trace turned into the log and replayed, the edk2
store's fields a write touched, where the update of a variable lies in a log, the outcome of a
point from hand-made listings and from boots against a stand-in for scripts/uefi-vm, what a cut
loop must leave, and the exit status."""

import contextlib
import hashlib
import io
import json
import shutil
import subprocess
import sys
import tempfile
import types
import unittest
import uuid
from unittest import mock
from pathlib import Path

import uefi_vm
from uefi_vm import flashlog, session, store, toolout
from uefi_vm.bench.power_cut import bench, boots, cli, compare, cuts, outcomes, points, sweep
from uefi_vm.bench.power_cut import torn, torn_points, windows, write

GLOBAL = store.GLOBAL
WORK, SPARE, VOLUME = 0x400, 0x800, 0xC00


def image(*records: bytes) -> bytearray:
    """A firmware volume of 0xC00 bytes in blocks of 0x400: the variable store up to 0x400, the
    FTW working block (its work space 0x20 bytes) and the spare block after it."""
    return store.image(records, WORK - store.VOLUME_HEADER, block_size=0x400, blocks=3, ftw=True)


class FlashLog(unittest.TestCase):
    TRACE = (
        "1234@1700000000.000001:pflash_data_write system.flash1: data offset:0x0070 size:1 "
        "value:0x003e\n"
        "pflash_data_write system.flash0: data offset:0x0010 size:1 value:0x0000\n"  # the code
        "pflash_write_block_start virt.flash1: block write start: bytes:0x3\n"
        "pflash_data_write_block virt.flash1: data offset:0x0104 size:4 value:0x44332211 "
        "counter:0x0000000000000001\n"
        "pflash_data_write_block virt.flash1: data offset:0x0100 size:4 value:0xddccbbaa "
        "counter:0x0000000000000000\n"
        "pflash_data_write_block virt.flash1: data offset:0x0110 size:2 value:0x5566 "
        "counter:0x0000000000000000\n"
        "pflash_write_block_flush virt.flash1: block write flush\n"
        "pflash_write_block_start virt.flash1: block write start: bytes:0x1\n"
        "pflash_data_write_block virt.flash1: data offset:0x0200 size:4 value:0x0 "
        "counter:0x0000000000000000\n"
        "pflash_write_block_abort virt.flash1: block write abort\n"
        "pflash_write_block_erase virt.flash1: block erase offset:0x800 bytes:0x400\n"
        "pflash_data_write system.flash1: data offset:0x0900 size:1 value:0x00")  # killed here

    def test_trace_to_log_to_store(self):
        with tempfile.TemporaryDirectory() as work:
            trace, log = Path(work, "trace"), Path(work, "log")
            trace.write_text(self.TRACE)
            # The marker goes where the trace had reached: after the first two lines.
            second_line_end = len("".join(self.TRACE.splitlines(True)[:2]).encode())
            self.assertEqual(flashlog.convert(trace, log, [(second_line_end, "ready"),
                                                           (10 ** 6, "cut")]), 3)
            self.assertEqual(log.read_text().splitlines(),
                             ["kestomandrel flash log 1", "W 70 3e", "# ready",
                              "W 100 aabbccdd11223344 110 6655", "E 800 400", "# cut"])
            read = flashlog.read(log)
            self.assertEqual((read.marker("ready"), read.marker("cut"), read.marker("x")),
                             (1, 3, None))
        start = bytes(range(256)) * 12
        after = flashlog.rebuild(start, read.ops, 3)
        self.assertEqual(after[0x70], 0x3E)
        self.assertEqual(after[0x100:0x108], bytes.fromhex("aabbccdd11223344"))
        self.assertEqual(after[0x108:0x110], start[0x108:0x110])  # between the buffer's runs
        self.assertEqual(after[0x800:0xC00], b"\xff" * 0x400)
        self.assertEqual(flashlog.rebuild(start, read.ops, 1)[0x100], start[0x100])

    def test_logs_that_cannot_be_replayed(self):
        for line in ("W 10", "W 10 zz", "E 10", "X 1 2", "W 10 aa 20"):
            with self.subTest(line=line), self.assertRaises(flashlog.BadLog):
                flashlog.parse_op(line)
        for op in ("W ffe 0000aa", "E 800 1000"):
            with self.subTest(op=op), self.assertRaisesRegex(flashlog.BadLog, "past the store"):
                flashlog.apply(bytearray(0x1000), [flashlog.parse_op(op)])


class Fields(unittest.TestCase):
    def test_what_each_byte_is_part_of(self):
        flash = image(store.record("Lang", b"eng"),
                      store.record("SysPrepOrder", b"\x01\x00\x00\x00"))
        found = store.layout(flash)
        second = found.records[1].offset
        self.assertEqual((found.work_space, found.spare), ((WORK, WORK + 0x20), (SPARE, VOLUME)))
        cases = [(0x10, "volume header"), (0x50, "store header"), (0x64, "header"),
                 (0x66, "state"), (0x64 + 60, "name"), (0x64 + 60 + 10, "data"),
                 (second + 2, "state"), (second + 60 + 25, "name"), (second + 60 + 26, "data"),
                 (found.free, "free"), (WORK + 4, "ftw work space"), (WORK + 0x100,
                                                                       "ftw working block"),
                 (SPARE + 9, "ftw spare")]
        for offset, expected in cases:
            with self.subTest(offset=hex(offset)):
                self.assertEqual(found.field(offset), expected)
        self.assertEqual(store.variables(flash)[f"SysPrepOrder-{GLOBAL}"], (7, b"\1\0\0\0"))
        # A write is labelled by the bytes it changed; a buffer rewriting others unchanged too.
        state = second + 2
        label = points.label
        self.assertEqual(label(flashlog.parse_op(f"W {state:x} 3e"), [b"\x3f"], found), "state")
        self.assertEqual(label(flashlog.parse_op(f"W {state:x} 3f"), [b"\x3f"], found),
                         "state (same bytes)")
        buffer = bytes(flash[second:second + 64])
        changed = bytearray(buffer)
        changed[2], changed[62] = 0x3E, 0x41
        self.assertEqual(label(flashlog.parse_op(f"W {second:x} {changed.hex()}"), [buffer],
                               found), "state+name")
        self.assertEqual(label(flashlog.parse_op(f"E {SPARE:x} 400"), [], found), "erase ftw spare")
        self.assertEqual(label(flashlog.parse_op("E 0 400"), [], found), "erase store")

    def test_unformatted_flash_is_not_a_store(self):
        for flash in (bytes(0x40000), b"\xff" * 0x40000):
            with self.subTest(first=flash[0]), self.assertRaises(store.NotAStore):
                store.layout(flash)


def an_update():
    """A store with Lang and SysPrepOrder = 5, and the log of its update to 6 as edk2 writes it,
    byte by byte: the old record marked in deletion, the new header, valid, its name and data, the
    new record added, the old one deleted."""
    old = store.record("SysPrepOrder", b"\x05\x00\x00\x00")
    start = bytes(image(store.record("Lang", b"eng"), old))
    found = store.layout(start)
    old_state = found.records[1].offset + 2
    new_at = found.free
    new = store.record("SysPrepOrder", b"\x06\x00\x00\x00", state=0xFF)
    lines = ["kestomandrel flash log 1", "# run 1", f"W {old_state:x} 3e"]
    lines += [f"W {new_at + i:x} {new[i]:02x}" for i in range(60)]
    lines += [f"W {new_at + 2:x} 7f"]
    lines += [f"W {new_at + i:x} {new[i]:02x}" for i in range(60, 90)]  # not the padding
    lines += [f"W {new_at + 2:x} 3f", f"W {old_state:x} 3c", "# end 1 130"]
    with tempfile.TemporaryDirectory() as work:
        Path(work, "log").write_text("\n".join(lines) + "\n")
        return start, flashlog.read(Path(work, "log"))


class Updates(unittest.TestCase):
    def test_an_update_is_found_between_two_settled_values(self):
        start, log = an_update()
        updates = points.updates(start, log, "SysPrepOrder")
        self.assertEqual([(u.first, u.last, u.old[0], u.new[0]) for u in updates],
                         [(0, len(log.ops), 5, 6)])
        self.assertIs(points.choose(updates, 6), updates[0])
        with self.assertRaises(bench.BenchError):
            points.choose(updates, 7)
        final = store.layout(flashlog.rebuild(start, log.ops, len(log.ops)))
        labels = [(count, name, op) for count, _, op, name in
                  points.walk(start, log.ops, range(len(log.ops) + 1), final)]
        # The first and last, each state byte, and the middle of the header, name and data.
        self.assertEqual(points.by_fields(labels), [0, 1, 3, 4, 33, 62, 76, 91, 93, 94])

    def test_points_around_erase_runs(self):
        ops = [flashlog.parse_op(line) for line in
               ["W 0 00"] * 10 + ["E 0 400"] * 4 + ["W 0 00"] * 10 + ["E 400 400"] * 2]
        self.assertEqual(points.around_erases(ops, 0, len(ops), 8),
                         [9, 10, 12, 14, 17, 24, 25, 26])
        self.assertEqual(points.around_erases(ops, 0, len(ops), 3), [10, 14, 26])
        self.assertEqual(points.spread(0, 100, 3), [25, 50, 75])


# scripts/uefi-vm as the bench uses it. A boot: V (the batch's first line names it) as /g prints
# it and the variables as the listing does; a store that is none never becomes ready. A logged run
# of commands (--flash-log): the log the test gave (--fake-log) played onto the store, every
# command done.
FAKE_HARNESS = r"""
import os
import shutil
import signal
import sys
import time
from pathlib import Path
from uefi_vm import flashlog, store
arguments = sys.argv[1:]
given = lambda option: arguments[arguments.index(option) + 1]
# For the cluster's tests: each run noted (its process and its store's first bytes), a boot that
# takes a while, and a store that kills the worker running it.
if "--fake-runs" in arguments:
    with open(given("--fake-runs"), "a") as runs:
        runs.write(f"{os.getpid()} {Path(given('--vars')).read_bytes()[:8].hex()}\n")
if "--fake-delay" in arguments:
    time.sleep(float(given("--fake-delay")))
if Path(given("--vars")).read_bytes().startswith(b"KILL"):
    os.kill(os.getppid(), signal.SIGKILL)
    time.sleep(60)
batch = Path(given("--batch")).read_text().splitlines()
out = Path(given("--out"))
out.mkdir()
if "--flash-log" in arguments:
    log, image = Path(given("--fake-log")), Path(given("--vars"))
    image.write_bytes(flashlog.rebuild(image.read_bytes(), flashlog.read(log).ops, 10 ** 6))
    shutil.copyfile(log, given("--flash-log"))
    for number in range(1, len(batch) + 1):
        (out / f"{number}.status").write_text("0\n")
    sys.exit()
try:
    found = store.variables(Path(given("--vars")).read_bytes())
except store.NotAStore:
    sys.exit("the guest was not ready within the time-out")
name = batch[0].split()[2] + "-"
value = [data for key, (_, data) in found.items() if key.startswith(name)]
(out / "1.out").write_text("Length : 4(0x4) bytes\n In Hex Bytes:\n"
                           + "".join(f" {byte:02X} " for byte in value[0]) + "\n"
                           if value else "Error Code : 0xcb\n")
(out / "2.out").write_text("".join(f"{key} {attributes:08x}{data.hex()}\n"
                                   for key, (attributes, data) in found.items()))
"""


# The harness's package, for the stand-in, which runs in a directory of its own.
PACKAGE = str(Path(uefi_vm.__file__).resolve().parents[1])


class FakeBench(bench.Bench):
    fake_log = "none"
    fake_options: tuple = ()  # --fake-runs FILE, --fake-delay SECS

    def vm(self, *arguments: str):
        return [sys.executable, "-c", f"import sys; sys.path.insert(0, {PACKAGE!r})\n"
                + FAKE_HARNESS, "--fake-log", str(self.fake_log), *self.fake_options,
                *arguments]


VENDOR = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
WRITE_VALUE = b"AB"


def a_write(kind: str):
    """A store and the log of a run, as edk2 writes it byte by byte: for a creation, one command
    writes MyVar's record after Lang's (header, valid, name and data, added); for a delete, a
    setup command changes nothing and the second marks MyVar's record deleted."""
    mine = store.record("MyVar", WRITE_VALUE, vendor=VENDOR)
    start = bytes(image(store.record("Lang", b"eng"), *([mine] if kind == "delete" else [])))
    found = store.layout(start)
    last = 2 if kind == "delete" else 1
    lines = ["kestomandrel flash log 1", "# ready"] + ["# run 1", "# end 1 0"] * (last - 1)
    lines.append(f"# run {last}")
    if kind == "delete":
        lines.append(f"W {found.records[1].offset + 2:x} 3d")
    else:
        new, at = store.record("MyVar", WRITE_VALUE, state=0xFF, vendor=VENDOR), found.free
        lines += [f"W {at + i:x} {new[i]:02x}" for i in range(60)] + [f"W {at + 2:x} 7f"]
        lines += [f"W {at + i:x} {new[i]:02x}" for i in range(60, 74)] + [f"W {at + 2:x} 3f"]
    return start, "\n".join(lines + [f"# end {last} 0"]) + "\n"


class Points(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = Path(work.name)
        self.bench = FakeBench(None, ["--firmware", "ovmf"], Path("/tool"), "SysPrepOrder",
                               self.work, None, self.work / "kept", 2)

    def test_points_booted_and_judged(self):
        start, log = an_update()
        final = store.layout(flashlog.rebuild(start, log.ops, len(log.ops)))
        reference = self.bench.work / "reference.fd"
        reference.write_bytes(start)
        control = boots.boot(self.bench, reference, 10)
        counts = [0, 1, 62, 91, 92, 93, 94]
        for new, expected, broken in (("06 00 00 00", "new", []),
                                      ("07 00 00 00", "corrupt", [93, 94])):
            with self.subTest(new=new), contextlib.redirect_stderr(io.StringIO()):
                judge = outcomes.judged(control, [], self.bench.key, "05 00 00 00", new)
                found, reproducers = outcomes.run_points(self.bench, "sweep", start, log.ops,
                                                         counts, 0, final, 10, judge)
                # Old until the new record's state byte marks it added (write 93).
                self.assertEqual([p["outcome"] for p in found], ["old"] * 5 + [expected] * 2)
                self.assertEqual([p["read"] for p in found[-2:]], ["06 00 00 00"] * 2)
                self.assertEqual(found[5]["field"], "state")
                self.assertEqual(sorted(r["k"] for r in reproducers), broken)
                for again in reproducers:
                    self.assertTrue(Path(again["store"]).is_file())
                    self.assertIn(f"--vars {again['store']} -- /g SysPrepOrder",
                                  again["command"])
        self.assertEqual([p.get("again") for p in found], [None] * 5 + ["corrupt"] * 2)
        # Two points, old and new, bisected to the state byte that marks the new record added.
        judge = outcomes.judged(control, [], self.bench.key, "05 00 00 00", "06 00 00 00")
        with contextlib.redirect_stderr(io.StringIO()):
            refined, _ = windows.sampled(self.bench, "sweep", start, log.ops, [0, 94], 0, final,
                                         10, judge, refining=True)
        self.assertEqual([(w["first"], w["last"], w["outcome"], w["phases"][0])
                          for w in refined["windows"]],
                         [(0, 92, "old", "before the writes"),
                          (93, 94, "new", "new record SysPrepOrder state added")])
        # Two VMs at a time: two points a round, log3(94) + 1 rounds.
        self.assertLessEqual(len(refined["points"]), 2 + 2 * 6)
        self.assertNotIn("torn", refined)
        # Where another run broke (--at-windows): booted too, and one past the writes is not.
        run = self.work / "a.json"
        other = log.ops[40].line()  # write 41 here
        run.write_text("progress\n" + json.dumps({"sweep": {"windows": [
            {"first": 0, "last": 40, "outcome": "old"},
            {"first": 41, "last": 50, "outcome": "lost", "bounds": [other, "W 0 00"]},
            {"first": 93, "last": 95, "outcome": "brick"}]}}) + "\n")
        self.bench.at = cli.broken_points(run)
        self.assertEqual(sorted(self.bench.at["sweep"]), [41, 45, 50, 93, 94, 95])
        said = io.StringIO()
        with contextlib.redirect_stderr(said):
            found, _ = windows.sampled(self.bench, "sweep", start, log.ops, [0, 94], 0, final,
                                       10, judge)
        self.assertEqual([p["k"] for p in found["points"]], [0, 41, 45, 50, 93, 94])
        # Write 50 here is not the one the other run had there: said, and booted all the same.
        self.assertEqual(said.getvalue().count("their writes differ"), 1)
        self.assertIn(f"k=50 is {log.ops[49].line()} here, W 0 00 in the other run",
                      said.getvalue())
        self.bench.at = {}
        # Torn, refined: the sampled point's write and the edges of the windows, 92 and 93.
        self.bench.torn = bench.TornPlan(torn.parse("one"), 7)
        with contextlib.redirect_stderr(io.StringIO()):
            refined, _ = windows.sampled(self.bench, "sweep", start, log.ops, [0, 94], 0, final,
                                         10, judge, refining=True)
        self.assertEqual([(t["k"], t["outcome"], t.get("same_as")) for t in refined["torn"]],
                         [(92, "old", None), (93, "new", "k"), (94, "new", "k")])

    def test_a_write_swept_and_refined(self):
        guid = "{" + str(VENDOR).upper() + "}"
        cases = [("creation", [], None, "41 42", [(0, 75, "old", "new record MyVar data"),
                                                   (76, 76, "new", "new record MyVar state "
                                                                   "added")]),
                 ("delete", ["/s MyVar {guid} /f ab.bin"], "41 42", None,
                  [(0, 0, "old", "before the writes"),
                   (1, 1, "new", "old record MyVar state deleted")])]
        for kind, setup, old, new, expected in cases:
            with self.subTest(kind=kind), contextlib.redirect_stderr(io.StringIO()):
                start, log = a_write(kind)
                work = self.work / kind
                work.mkdir()
                (work / "factory.fd").write_bytes(start)
                (work / "run.log").write_text(log)
                self.bench.work, self.bench.fake_log = work, work / "run.log"
                self.bench.firmware = types.SimpleNamespace(factory_format="raw",
                                                            factory=work / "factory.fd")
                command = write.parse([line.format(guid=guid) for line in setup],
                                      f"/s MyVar {guid} 2 41 42", [])
                self.bench.name, self.bench.guid = command.name, command.guid
                found, _ = sweep.sweep(self.bench, False, None, command, refining=True)
                self.assertEqual((found["old"], found["new"]), (old, new))
                self.assertEqual((found["setup"], found["write"]),
                                 ([line.format(guid=guid) for line in setup],
                                  f"/s MyVar {guid} 2 41 42"))
                self.assertEqual(found["counts"]["old"] + found["counts"]["new"],
                                 len(found["points"]))
                # Every window's last point is old, the next one's first new: exact.
                self.assertEqual([(w["first"], w["last"], w["outcome"], w["phases"][-1 if
                                   w["outcome"] == "old" else 0]) for w in found["windows"]],
                                 expected)
                ks = [point["k"] for point in found["points"]]
                self.assertEqual(ks, sorted(set(ks)))

    def test_torn_cuts_booted_once_each_and_kept(self):
        # SysPrepOrder 07 -> 04 in place (two bits cleared: a cut leaves 05 or 06), a write of
        # bytes the store holds, Lang's "e" -> "a" in place (one bit), the erase of a blank block.
        start = bytes(image(store.record("Lang", b"eng"),
                            store.record("SysPrepOrder", b"\x07\x00\x00\x00")))
        records = store.layout(start).records
        value_at = records[1].offset + records[1].header + records[1].name_size
        lang_at = records[0].offset + records[0].header + 10
        ops = [flashlog.parse_op(line) for line in
               (f"W {value_at:x} 04", f"W {lang_at:x} {start[lang_at]:02x}",
                f"W {lang_at:x} 61", f"E {SPARE:x} 400")]
        final = store.layout(flashlog.rebuild(start, ops, len(ops)))
        reference = self.work / "reference.fd"
        reference.write_bytes(start)
        control = boots.boot(self.bench, reference, 10)
        judge = outcomes.judged(control, [], self.bench.key, "07 00 00 00", "04 00 00 00")
        self.bench.keep = self.work / "keep"
        runs = []
        for seed in (7, 7):
            self.bench.torn = bench.TornPlan(torn.parse("one,most,some:4,zeros"), seed)
            boots_before = self.bench.runs
            with contextlib.redirect_stderr(io.StringIO()):
                found, reproducers = windows.sampled(
                    self.bench, "sweep", start, ops, [0, 1, 3, 4], 0, final, 10, judge,
                    values=("07 00 00 00", "04 00 00 00"))
            runs.append((found, reproducers, self.bench.runs - boots_before))
        found, reproducers, booted = runs[0]
        entries = found["torn"]
        self.assertEqual(found["torn_unchanged"], 1)  # the blank block's erase
        self.assertEqual({e["k"] for e in entries}, {1, 3})
        self.assertEqual({e["mode"] for e in entries}, {"one", "most", "some"})
        # The neighbour k=2 the sample lacked was booted as a whole point.
        self.assertEqual([p["k"] for p in found["points"]], [0, 1, 2, 3, 4])
        for entry in entries:
            with self.subTest(k=entry["k"], mode=entry["mode"], variant=entry["variant"]):
                self.assertEqual((entry["seed"], entry["neighbours"]),
                                 (7, [["old", "new"], ["new", "collateral"]][entry["k"] // 2]))
                value = int(entry["op"].split()[2], 16)
                if entry["k"] == 1:
                    # 05 or 06, between old and new, on a fresh boot or copied from one.
                    self.assertEqual(entry["op"].split()[1], f"{value_at:x}")
                    self.assertIn(value, (4, 5, 6, 7))
                    novel = value in (5, 6)
                    self.assertEqual(entry["outcome"], "corrupt" if novel else
                                     {7: "old", 4: "new"}[value])
                    self.assertEqual((entry["novel"], entry.get("between")),
                                     (novel, True if novel else None))
                    if novel:
                        self.assertEqual(entry["read"], f"{value:02X} 00 00 00")
                        self.assertEqual(entry["again"], "corrupt")
                else:
                    # One bit: every cut is the store at k-1 or at k, none booted.
                    self.assertEqual(entry["same_as"], {0x65: "k-1", 0x61: "k"}[value])
                    self.assertEqual(entry["outcome"],
                                     {0x65: "new", 0x61: "collateral"}[value])
                    self.assertFalse(entry["novel"])
        one, most = (next(e for e in entries if e["k"] == 1 and e["mode"] == mode)
                     for mode in ("one", "most"))
        self.assertNotIn("same_as", one)
        self.assertEqual(most.get("same_as", "one/1"), "one/1")  # 05 and 06: the other's bit
        # Booted: k=0, 1, 3, 4, the neighbour k=2, the second boots of k=3 and 4 (Lang changed),
        # and each distinct torn store (05, 06 at most) twice.
        distinct = {e["op"] for e in entries if "same_as" not in e}
        self.assertEqual(booted, 7 + 2 * len(distinct))
        self.assertEqual(sorted(r["torn"] for r in reproducers if "torn" in r),
                         sorted(f"{e['mode']}/{e['variant']}" for e in entries
                                if "same_as" not in e))
        # Kept between k-1 and k, differing from k-1 only by bits the write clears.
        kept = sorted(path.name for path in self.bench.keep.iterdir())
        names = [f"sweep-0001-{e['mode']}-{e['variant']}.fd" for e in entries
                 if "same_as" not in e]
        self.assertEqual(kept[kept.index("sweep-0000.fd") + 1:kept.index("sweep-0001.fd")],
                         sorted(names))
        before = (self.bench.keep / "sweep-0000.fd").read_bytes()
        for name in names:
            after = (self.bench.keep / name).read_bytes()
            differ = [i for i in range(len(before)) if before[i] != after[i]]
            self.assertEqual(differ, [value_at])
            self.assertEqual(after[value_at] & ~7, 0)
        # The same seed, the same cuts.
        self.assertEqual(*([{key: value for key, value in e.items() if key != "seconds"}
                            for e in run[0]["torn"]] for run in runs))

    def test_tool_commands_given(self):
        guid = "{" + str(VENDOR).upper() + "}"
        command = write.parse(["/s MyVar 8be4df61-93ca-11d2-aa0d-00e098032b8c 0"],
                              f"/s MyVar '{guid}' /f 'new value.bin'", [Path("a/new value.bin")])
        self.assertEqual((command.name, command.guid), ("MyVar", str(VENDOR)))
        self.assertEqual(command.lines()[1], f"kestomandrel /s MyVar '{guid}' /f 'new value.bin'")
        for setup, line in (([], "/g MyVar"), ([], "/s MyVar"), ([], "/s MyVar nope 0"),
                            (["'"], f"/s V {guid} 0"), ([""], f"/s V {guid} 0")):
            with self.subTest(setup=setup, line=line), self.assertRaises(ValueError):
                write.parse(setup, line, [])
        self.bench.guid = str(VENDOR)
        self.assertEqual(self.bench.read_line, f"kestomandrel /g SysPrepOrder '{guid}'")

    def test_a_store_that_never_boots_is_a_brick(self):
        erased = self.work / "erased.fd"
        erased.write_bytes(b"\xff" * 0x1000)
        result = boots.boot(self.bench, erased, 10)
        self.assertEqual(result.brick["why"], "not ready within 10 s")
        self.assertEqual(result.brick["console"], "nothing")
        # A CPU stuck: a brick at once, the address in "why", the outcome as the console's.
        said = ("uefi-vm: ovmf: the guest's CPU made no progress 25.3 s after QEMU started: the "
                "CPU stayed at 0xfffffff0 for 24 s, with nothing written on its console nor to "
                "its flash (see --stuck); the console stayed empty\n")
        self.assertTrue(any(sign in said for sign in boots.NOT_READY))
        self.assertEqual(boots.brick(said, "", None, 300),
                         {"console": "nothing", "exception": None, "image": None,
                          "why": "stuck: the CPU stayed at 0xfffffff0 for 24 s"})


def program(runs, image):
    """A program of RUNS ((offset, bytes), ...) and the store before it."""
    return flashlog.Op(runs=tuple(runs)), bytearray(image)


class TornModes(unittest.TestCase):
    """Each mode's rule on the bytes, against the whole operation (see torn's table)."""

    SEEDS = range(12)

    def cuts(self, op, image, modes, seed=7, k=5):
        return torn.tear(op, image, torn.parse(modes), "ab" * 32, "sweep", k, seed)

    def test_a_torn_program_only_clears_bits_the_whole_program_clears(self):
        start = bytes(range(0x80, 0x100)) * 4 + b"\xff" * 0x200
        # A state byte 0x3F -> 0x3C; a byte of data over erased flash; a buffer of three runs,
        # one byte of which sets bits (QEMU writes them, NOR cannot) and one changes nothing.
        cases = [[(0x3F, b"\x3c")], [(0x200, b"\x5a")],
                 [(0x10, b"\x00\x01\x02\x03"), (0x20, bytes(start[0x20:0x22])),
                  (0x210, b"\x12\x34\x56\x78\x9a"), (0x30, b"\xff\x00")]]
        for runs in cases:
            op, image = program(runs, start)
            _, old, whole = torn.region(op, image)
            old_bits, whole_bits = (int.from_bytes(b, "big") for b in (old, whole))
            cleared = old_bits & ~whole_bits
            for seed in self.SEEDS:
                for cut in self.cuts(op, image, "some,one,most,first", seed):
                    with self.subTest(runs=runs, mode=cut.mode.name, seed=seed):
                        after = cut.apply(bytearray(image))
                        torn_bits = int.from_bytes(cut.torn, "big")
                        gone = old_bits & ~torn_bits
                        self.assertEqual(torn_bits & ~old_bits, 0)  # nothing set
                        self.assertEqual(gone & ~cleared, 0)  # only what the program clears
                        outside = [i for i in range(len(image))
                                   if not any(o <= i < o + len(d) for o, d in runs)]
                        self.assertTrue(all(after[i] == image[i] for i in outside))
                        count = bin(gone).count("1")
                        if cut.mode.name == "one":
                            self.assertEqual(count, 1)
                        elif cut.mode.name == "most":
                            self.assertEqual(count, bin(cleared).count("1") - 1)
                        elif cut.mode.name == "first":
                            # Whole bytes of what the program clears, the first ones only.
                            touched = [i for i in range(len(old)) if old[i] & ~whole[i]]
                            done = [i for i in touched if cut.torn[i] != old[i]]
                            self.assertEqual(done, touched[:len(done)])
                            self.assertTrue(0 < len(done) < len(touched))
                            self.assertTrue(all(cut.torn[i] == old[i] & whole[i]
                                                for i in done))
            names = {cut.mode.name for cut in self.cuts(op, image, "all")}
            # One byte cannot be cut short; a program never gets an erase's modes.
            self.assertEqual(names, {"some", "one", "most"} | ({"first"} if len(runs) > 1
                                                               else set()))
        # "some" takes about half of what a large program clears, "one" and "most" one bit each.
        op, image = program([(0x200, bytes(0x100))], start)
        some = self.cuts(op, image, "some")[0]
        self.assertLess(abs(sum(bin(b).count("1") for b in some.torn) / (0x100 * 8) - 0.5),
                        0.1)

    def test_each_erase_mode_keeps_to_its_sector_and_its_rule(self):
        start = bytes((i * 37 + 11) & 0xFF for i in range(0x3000))
        op = flashlog.Op(erase=(0x1000, 0x1000))
        for seed in self.SEEDS:
            image = bytearray(start)
            cuts = {cut.mode.name: cut for cut in self.cuts(op, image, "all", seed)}
            self.assertEqual(set(cuts), {"preprog", "zeros", "rising", "part", "raise"})
            old = start[0x1000:0x2000]
            for name, cut in cuts.items():
                with self.subTest(mode=name, seed=seed):
                    after = cut.apply(bytearray(image))
                    self.assertEqual((after[:0x1000], after[0x2000:]),
                                     (start[:0x1000], start[0x2000:]))
                    self.assertEqual(after[0x1000:0x2000], cut.torn)
                    self.assertEqual(cut.line(), "E 1000 1000 sha256="
                                     + hashlib.sha256(cut.torn).hexdigest())
            pairs = list(zip(cuts["preprog"].torn, old))
            self.assertTrue(all(t & ~o == 0 for t, o in pairs))  # only cleared
            cleared = sum(bin(o & ~t).count("1") for t, o in pairs)
            self.assertLess(abs(cleared / sum(bin(o).count("1") for o in old) - 0.5), 0.1)
            self.assertEqual(cuts["zeros"].torn, bytes(0x1000))
            self.assertEqual({name for name, cut in cuts.items() if not cut.mode.real},
                             {"part", "raise"})
            self.assertTrue(all(t | o == t for t, o in zip(cuts["raise"].torn, old)))  # raised
            self.assertNotIn(cuts["raise"].torn, (old, b"\xff" * 0x1000))
            part = cuts["part"].torn
            j = len(part) - len(part.lstrip(b"\xff"))
            self.assertTrue(0 < j < 0x1000)
            self.assertEqual(part[j:], old[j:])
            # Rising from zero: the bits do not depend on what the sector held.
            other = self.cuts(op, bytearray(0x3000), "rising", seed)[0]
            self.assertEqual(cuts["rising"].torn, other.torn)
            self.assertLess(abs(sum(bin(b).count("1") for b in other.torn) / 0x8000 - 0.5), 0.1)

    def test_the_same_seed_gives_the_same_bytes(self):
        image = bytearray(bytes(range(256)) * 16)
        erase = flashlog.Op(erase=(0, 0x1000))
        buffer, _ = program([(0x100, bytes(64))], image)
        for op in (erase, buffer):
            again = [cut.torn for cut in self.cuts(op, bytearray(image), "all:3")]
            self.assertEqual([cut.torn for cut in self.cuts(op, image, "all:3")], again)
            # Another seed or k, other bits (the modes that draw many of them).
            for other in (self.cuts(op, image, "all:3", seed=8),
                          self.cuts(op, image, "all:3", k=6)):
                self.assertEqual(len(other), len(again))
                self.assertTrue(all(a != cut.torn for a, cut in zip(again, other)
                                    if cut.mode.name in ("some", "preprog", "rising", "raise")))
            variants = [cut.torn for cut in self.cuts(op, image, "some:3,raise:3")]
            self.assertEqual(len(set(variants)), len(variants))
        self.assertNotEqual(torn.Bits("a|1").stream(64), torn.Bits("a|2").stream(64))
        # The bits of the key that names a cut, fixed: a change breaks every kept reproducer.
        self.assertEqual(torn.Bits(torn.key("00", "sweep", 1, "some", 1, 7)).stream(4).hex(),
                         hashlib.sha256(b"00|sweep|1|some|1|7|0").hexdigest()[:8])

    def test_what_changes_nothing_is_not_torn(self):
        image = bytearray(b"\x3c" * 0x10 + b"\xff" * 0x1000)
        for op in (flashlog.Op(runs=((0, b"\x3c\x3c"),)),  # the same bytes
                   flashlog.Op(runs=((0, b"\x3f"),)),  # sets bits only: NOR clears none
                   flashlog.Op(erase=(0x10, 0x1000))):  # a blank sector
            with self.subTest(op=op.line()):
                _, old, whole = torn.region(op, image)
                self.assertTrue(torn.unchanged(op, old, whole))
                self.assertEqual(torn.tear(op, image, torn.parse("all:4"), "", "boot", 1, 7),
                                 [])

    def test_modes_given(self):
        self.assertEqual([(m.name, n) for m, n in torn.parse("one:3, zeros:4,one")],
                         [("one", 3), ("zeros", 1)])
        self.assertEqual(len(torn.parse("all:2")), len(torn.MODES))
        self.assertEqual({m.name for m in torn.MODES if not m.real}, {"part", "raise"})
        for text in ("", "bogus", "some:0", "some:x", "all,"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                torn.parse(text)

    def test_a_value_between_old_and_new(self):
        for read, expected in (("05 00", True), ("07 00", True), ("04 00", True),
                               ("0F 00", False), ("05", False), (None, False)):
            with self.subTest(read=read):
                self.assertEqual(torn.between(read, "07 00", "04 00"), expected)


class TornPoints(unittest.TestCase):
    def test_the_writes_torn(self):
        outcomes_at = {0: "old", 10: "old", 20: "new", 30: "new", 40: "corrupt", 50: "new"}
        sample = sorted(outcomes_at)
        self.assertEqual(torn_points.chosen(outcomes_at, sample, False, None),
                         [10, 20, 30, 40, 50])
        # At most N: where the outcome changes first, then the others spread evenly.
        self.assertEqual(torn_points.chosen(outcomes_at, sample, False, 2), [20, 40])
        self.assertEqual(torn_points.chosen(outcomes_at, sample, False, 4), [20, 30, 40, 50])
        self.assertEqual(torn_points.chosen({k: "old" for k in range(0, 70, 10)}, range(0, 70, 10),
                                            False, 2), [30, 50])
        # Refined: each window's edges, the sampled points' too.
        self.assertEqual(torn_points.chosen(outcomes_at, [0, 50], True, None),
                         [10, 20, 30, 40, 50])


class Outcomes(unittest.TestCase):
    KEY = f"SysPrepOrder-{GLOBAL}"

    def test_outcomes(self):
        control = {"Lang-x": "07000000656e67", "MTC-y": "0700000001000000",
                   self.KEY: "0700000005000000"}
        neighbour = {**control, "Lang-x": "07000000667261"}
        cases = [
            ("05 00 00 00", control, "old", []),
            ("06 00 00 00", {**control, "MTC-y": "0700000002000000"}, "new", []),  # MTC varies
            (None, control, "lost", []),
            ("05 00 00", control, "corrupt", []),  # a wrong length
            ("06 00 00 01", control, "corrupt", []),
            ("05 00 00 00", neighbour, "collateral", ["Lang-x"]),
            ("05 00 00 00", {**control, "New-z": "07000000"}, "collateral", ["New-z"]),
            ("06 00 00 00", {self.KEY: "0700000006000000"}, "collateral", ["Lang-x"]),
            ("error 0x7a", neighbour, "corrupt", ["Lang-x"]),
        ]
        for read, listing, outcome, collateral in cases:
            with self.subTest(read=read, listing=listing):
                self.assertEqual(outcomes.classify(read, "05 00 00 00", "06 00 00 00", listing,
                                                    control, ["MTC-y"], self.KEY),
                                 (outcome, collateral))

    def test_what_a_cut_loop_must_leave(self):
        cases = [(7, ("07 00 00 00", "08 00 00 00")), (None, (None, "00 00 00 00")),
                 (0xFFFFFFFF, ("FF FF FF FF", "00 00 00 00"))]
        for last, expected in cases:
            with self.subTest(last=last):
                self.assertEqual(cuts.expected(last), expected)

    def test_the_exit_status(self):
        options = cli.arguments(["--cuts", "1"])
        cases = [([{"outcome": "old"}], 0), ([{"outcome": "lost", "again": "lost"}], 1),
                 ([{"outcome": "brick", "again": "new"}], 0)]  # unconfirmed
        for runs, status in cases:
            with self.subTest(runs=runs), contextlib.redirect_stdout(io.StringIO()) as out:
                self.assertEqual(cli.finish({"cuts": runs}, [], options), status)
            self.assertEqual(json.loads(out.getvalue())["failed"], status)
        # A torn cut booted that broke the promise twice fails the run; one that only copies a
        # boot counted already does not count again.
        for torn_cut, status in (({"outcome": "corrupt", "again": "corrupt"}, 1),
                                 ({"outcome": "corrupt", "again": "corrupt", "same_as": "k"}, 0),
                                 ({"outcome": "corrupt", "again": "old"}, 0)):
            with self.subTest(torn=torn_cut), contextlib.redirect_stdout(io.StringIO()) as out:
                self.assertEqual(cli.finish({"sweep": {"points": [], "torn": [torn_cut]}}, [],
                                            options), status)
        # The cuts' cost goes beside their list, each kind's inside its own object.
        made = bench.Bench(None, [], Path("tool"), "V", Path("."), None, Path("."), 1)

        def cut(ran, count, rng):
            ran.runs += count + 2  # the control's two boots and one a cut
            return [{"outcome": "old"}] * count, []
        result: dict = {}
        with mock.patch.object(cli, "cut_runs", cut):
            cli.run_kinds(made, options, 1, result, [])
        self.assertEqual((len(result["cuts"]), result["cuts_boots"]), (1, 3))
        self.assertEqual(cli.arguments(["--scheduler", "tcp://127.0.0.1:8786"]).scheduler,
                         "tcp://127.0.0.1:8786")
        # Dask is imported only with --scheduler: the boots of this file ran without it.
        self.assertNotIn("distributed", sys.modules)
        self.assertIsInstance(result["cuts_seconds"], float)
        for wrong in (["--boot", "0"], ["--jobs", "0"], ["--sweep", "some"],
                      ["--setup", "/s V {GUID} 0"], ["--write", "/s V", "--sweep"],
                      ["--write", f"/s V {GLOBAL} 0", "--name", "V"],
                      ["--write", f"/s V {GLOBAL} 0", "--cuts", "1"],
                      ["--torn", "some", "--cuts", "1"], ["--torn", "sum"],
                      ["--torn", "some:0"], ["--torn-points", "2"],
                      ["--torn", "all", "--torn-points", "0"]):
            with self.subTest(wrong=wrong), contextlib.redirect_stderr(io.StringIO()), \
                    self.assertRaises(SystemExit) as exited:
                cli.arguments(wrong)
            self.assertEqual(exited.exception.code, bench.FAILED)

    def test_what_a_boot_printed(self):
        read = ("\nVariable Name : SysPrepOrder\nLength : 4(0x4) bytes\n In Hex Bytes:\n 48  0A  "
                "00  00 \n\n In Character Bytes:\nH \n \x00 \x00 \n")
        self.assertEqual(toolout.read_value(read), "48 0A 00 00")
        failed = "\nVariable Name : X\nGetFirmwareEnvironment Function calls failed.Error Code : 0x"
        self.assertIsNone(toolout.read_value(failed + "cb"))
        self.assertEqual(toolout.read_value(failed + "7a"), "error 0x7a")
        loop = (read.replace("48  0A", "07  00") + read.replace("48  0A", "08  00")).encode()
        self.assertEqual(toolout.last_counter(loop + b"\nSysPrepOrder Set successfully"), 8)
        self.assertEqual(toolout.last_counter(loop[:-40]), 7)  # the last one cut short
        self.assertEqual(boots.parse_listing("Lang-x 07000000656e67\n*\n"),
                         {"Lang-x": "07000000656e67"})

    def test_the_listing_cuts_every_file_apart(self):
        # The guest's pipeline, in busybox as there, on files of sizes 0, 1, 4 and 9 bytes.
        files = {"Empty-x": b"", "One-x": b"\x07", "Four-x": b"\x07\0\0\0",
                 "Nine-x": b"ninebytes"}
        for given in ({}, {"Lang-x": b"\x07\0\0\0eng"}, files):
            with self.subTest(files=list(given)), tempfile.TemporaryDirectory() as efivars:
                for name, data in given.items():
                    (Path(efivars) / name).write_bytes(data)
                listing = boots.LISTING.replace("/sys/firmware/efi/efivars", efivars)
                listed = subprocess.run(["/bin/busybox", "sh", "-c", listing], text=True,
                                        capture_output=True).stdout
                self.assertEqual(boots.parse_listing(listed),
                                 {name: data.hex() for name, data in given.items()})

    def test_what_a_console_shows(self):
        console = ("\x1b[2JBdsDxe: loading Boot0001\r\n!!!! X64 Exception Type - 0D(#GP - General "
                   "Protection)  CPU Apic ID - 00000000 !!!!\r\nRIP  - 000000007E8A11C2\r\n!!!! "
                   "Find image based on IP(0x7E8A11C2) /build/VariableSmm/DEBUG/VariableSmm.dll "
                   "(ImageBase=000000007E890000) !!!!\r\n")
        self.assertEqual(boots.diagnose(console)["image"],
                         "/build/VariableSmm/DEBUG/VariableSmm.dll (ImageBase=000000007E890000)")
        release = console.replace("/build/VariableSmm/DEBUG/VariableSmm.dll", "(No PDB) ")
        self.assertEqual(boots.diagnose(release)["image"],
                         "(No PDB)  (ImageBase=000000007E890000)")
        lost = "!!!! X64 Exception Type - 06(#UD - Invalid Opcode)  CPU Apic ID - 0 !!!!\nRIP  - " \
               "00000000000E0000\n!!!! Can't find image information. !!!!\n"
        self.assertEqual(boots.diagnose(lost)["image"], "Can't find image information")
        arm = "Synchronous Exception at 0x000000013F7A4B10\nPC 0x00013F7A4B10 (0x00013F790000+" \
              "0x00014B10) [ 1] VariableRuntimeDxe.dll\n"
        self.assertEqual((boots.diagnose(arm)["console"], boots.diagnose(arm)["image"]),
                         ("cpu exception", "VariableRuntimeDxe.dll"))
        self.assertEqual(boots.diagnose("\x1b[2J\x1b[01;01H")["console"], "nothing")

    def test_what_a_debug_output_says(self):
        progress = ("Loading driver at 0x0007F6B0000 EntryPoint=0x0007F6B1234 "
                    "VariableRuntimeDxe.efi\r\n")
        asserted = ("ASSERT [VariableRuntimeDxe] /build/edk2/MdeModulePkg/Universal/Variable/"
                    "RuntimeDxe/VariableNonVolatile.c(105): !(((INTN)(RETURN_STATUS)(Status)) < 0)")
        efi_error = ("ASSERT_EFI_ERROR (Status = Volume Corrupt)",
                     "ASSERT [FaultTolerantWriteDxe] /b/FaultTolerantWrite.c(42): !EFI_ERROR")
        cases = [
            # The first ASSERT, even after ones that only look like it, mid-line or not.
            (progress + "Variable FV header is not valid. It will be reinitialized.\r\n"
             + asserted + "\r\nASSERT [Other] b.c(1): later\r\n", "", {"assert": asserted}),
            ("ASSERTION_DONE(1)\nDebugAssertEnabled: TRUE\nFtw: " + asserted + "\n", "",
             {"assert": asserted}),
            # ASSERT_EFI_ERROR's status, with the assertion that names the file and line.
            ("\n".join(("x", *efi_error, "y")), "", {"assert": " | ".join(efi_error)}),
            ("ASSERT_EFI_ERROR (Status = Not Found)\nno assertion after it\n", "",
             {"assert": "ASSERT_EFI_ERROR (Status = Not Found)"}),
            ("ASSERT /b/Old.c(12): Old != NULL\n", "",
             {"assert": "ASSERT /b/Old.c(12): Old != NULL"}),
            # No ASSERT: the last lines, unless the debug output is the console (AArch64).
            (progress * 2 + "FtwDxe: Work block header valid\r\n\r\nInstallProtocolInterface: "
             "\x1b[0m5B1B31A1\n", "",
             {"debug": "Loading driver at 0x0007F6B0000 EntryPoint=0x0007F6B1234 "
                       "VariableRuntimeDxe.efi | FtwDxe: Work block header valid | "
                       "InstallProtocolInterface: 5B1B31A1"}),
            ("Synchronous Exception at 0x1\n", "Synchronous Exception at 0x1\n", {}),
            (asserted, asserted, {"assert": asserted}),
            # A RELEASE build's debug output is empty.
            ("", "Boot0001 ...\n", {}),
        ]
        for debug, console, said in cases:
            with self.subTest(debug=debug[-40:]):
                self.assertEqual(session.debug_said(debug, console), said)

    def test_a_debug_builds_assert_tells_bricks_apart(self):
        console = "BdsDxe: loading Boot0001\n"
        release = boots.brick("was not ready", console, "", 100)
        self.assertEqual(sorted(release), ["console", "exception", "image", "last", "why"])
        one = boots.brick("ovmf: the firmware stopped on a failed assertion 9.1 s after QEMU "
                          "started (ASSERT [V] v.c(1): X); ...", console,
                          "A\nASSERT [V] v.c(1): X\n", 100)
        self.assertEqual(one["why"], "the firmware stopped on a failed ASSERT (the VM was stopped "
                                     "then)")
        other = boots.brick("was not ready", console, "ASSERT [F] f.c(2): Y\n", 100)
        self.assertEqual(one["assert"], "ASSERT [V] v.c(1): X")
        keys = [windows.outcome_key({"outcome": "brick", "brick": brick})
                for brick in (release, one, other)]
        self.assertEqual(keys[0], ("brick", None, None))
        self.assertEqual(len(set(keys)), 3)
        self.assertEqual(compare.label("brick", one), "brick (ASSERT [V] v.c(1): X)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
