#!/usr/bin/python3
"""bench/power-cut without a VM: QEMU's flash trace turned into the log and replayed, the edk2
store's fields a write touched, where the update of a variable lies in a log, the outcome of a
point from hand-made listings and from boots against a stand-in for scripts/uefi-vm, what a cut
loop must leave, and the exit status."""

import contextlib
import io
import json
import subprocess
import sys
import tempfile
import types
import unittest
import uuid
from unittest import mock
from pathlib import Path

import uefi_vm
from uefi_vm import flashlog, store, toolout
from uefi_vm.bench.power_cut import bench, boots, cli, cuts, outcomes, points, sweep, windows
from uefi_vm.bench.power_cut import write

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
        self.assertEqual(boots.brick(said, "", 300),
                         {"console": "nothing", "exception": None, "image": None,
                          "why": "stuck: the CPU stayed at 0xfffffff0 for 24 s"})


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
                      ["--write", f"/s V {GLOBAL} 0", "--cuts", "1"]):
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
