#!/usr/bin/python3
"""scripts/uefi-vm's host side without a VM: its command line, its saved VMs' keys, and the loop
that serves the agent, against fake_qemu.py (QEMU and an agent that run commands on this host)."""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts/lib"))

from uefi_vm import firmware, main, saved, session  # noqa: E402
from uefi_vm.errors import Failure, Stopped  # noqa: E402

FAKE = str(Path(__file__).with_name("fake_qemu.py"))
GLOBAL = "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}"


class CommandLine(unittest.TestCase):
    """Mistakes end before anything is installed, built or booted: status 125 and one line."""

    def test_mistakes(self):
        cases = [
            (["--firmware", "bios", "--", "/g", "X"], "unknown firmware: bios"),
            (["--batch", "b"], "--batch needs --out DIR"),
            (["--batch", "b", "--out", "d", "--", "/g", "X"], "either --batch or -- ARGS"),
            (["--stop-after", "5s", "--", "/t"], "not a number of seconds: 5s"),
            (["--cpus", "0", "--", "/t"], "--cpus: not a number of CPUs: 0"),
            (["--cut-after", "0", "--", "/t"], "--cut-after: not a number of seconds: 0"),
            (["--cut-after", "1", "--batch", "b", "--out", "d"], "--cut-after is for a single"),
            (["--firmware", "u-boot", "--flash-log", "l", "--", "/t"], "has no flash for"),
            (["--firmware", "u-boot", "--vars", "v.fd", "--", "/g", "X"], "keeps no variable"),
            (["--firmware", "aavmf", "--kvm", "--", "/g", "X"], "needs an AArch64 host"),
            (["--", "/s", "a\nb", GLOBAL, "0"], "a line break cannot be passed"),
            (["--before", "echo\nhi", "--", "/t"], "a line break cannot be passed"),
            (["--file", "/nonexistent/value.bin", "--", "/g", "X"], "cannot read the file"),
            (["--tool"], "--tool needs a value"),
            ([], "nothing to run"),
            (["--frimware", "ovmf"], "unknown option: --frimware"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                run = subprocess.run([str(ROOT / "scripts/uefi-vm"), *arguments],
                                     capture_output=True, text=True, timeout=30)
                self.assertEqual(run.returncode, 125)
                self.assertEqual(run.stdout, "")
                self.assertIn(message, run.stderr.splitlines()[-1])

    def test_help_names_every_firmware(self):
        run = subprocess.run([str(ROOT / "scripts/uefi-vm"), "--help"], capture_output=True,
                             text=True)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        for known in firmware.FIRMWARES:
            self.assertIn(f"{known.name:<12} {known.summary}", run.stdout)


class SavedKeys(unittest.TestCase):
    def test_every_part_of_the_state_changes_the_key_and_a_stale_entry_is_not_restored(self):
        with tempfile.TemporaryDirectory() as work:
            files = [Path(work, name) for name in ("code.fd", "vars.fd", "vmlinuz")]
            for path in files:
                path.write_bytes(path.name.encode())
            command = ["qemu", "-m", "512", "-smp", "1"]
            key = saved.key("/bin/echo", command, files, b"initrd")
            self.assertEqual(key, saved.key("/bin/echo", command, files, b"initrd"))
            files[2].write_bytes(b"another kernel")
            others = [saved.key("/bin/echo", command[:-1] + ["2"], files[:2], b"initrd"),
                      saved.key("/bin/echo", command, files, b"initrd"),
                      saved.key("/bin/echo", command, files[:2], b"another initrd"),
                      saved.key("/bin/true", command, files[:2], b"initrd")]
            self.assertEqual(len({key, *others}), 5)

            entry, store = saved.Entry(Path(work, "saved"), "ovmf", key), Path(work, "run.qcow2")
            self.assertFalse(entry.restore_into(store))
            Path(work, "state.qcow2").write_bytes(b"saved state")
            entry.keep(Path(work, "state.qcow2"))
            self.assertTrue(entry.restore_into(store))
            self.assertEqual(store.read_bytes(), b"saved state")
            self.assertFalse(saved.Entry(Path(work, "saved"), "ovmf", others[0]).restore_into(store))
            entry.discard()
            self.assertFalse(entry.restore_into(store))


class Serving(unittest.TestCase):
    """The loop over the agent's channels, with QEMU and the guest played by fake_qemu.py."""

    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.options = main.Options(vars=Path(self.work.name, "store.fd"), timeout=10, args=[])
        self.fake = []
        real = main.qemu_command
        main.qemu_command = lambda plan: [sys.executable, FAKE, *self.fake, *real(plan)]
        self.addCleanup(setattr, main, "qemu_command", real)
        self.run_ = None

    def tearDown(self):
        if self.run_ is not None:
            self.run_.stop_vm()
        self.work.cleanup()

    def boot(self, *fake: str) -> main.Run:
        self.fake[:] = fake
        plan = main.Plan(firmware.find("ovmf"), self.options, Path(self.work.name),
                         Path("/vmlinuz"), Path("/initrd"), self.options.vars, "raw", ["cmd"])
        self.run_ = main.Run(plan)
        self.run_.boot(None)
        self.run_.send_file(b"\x7fELF tool", "0755", "/bin/kestomandrel")
        return self.run_

    def command(self, line: str, out=None):
        """Runs LINE; its status, its output and error output, and when each piece came."""
        arrivals, errors = [], []
        sink = out or (lambda data: arrivals.append((time.monotonic(), data)))
        status = self.boot_run.run_command(1, line, sink, errors.append)
        return status, b"".join(data for _, data in arrivals), b"".join(errors), arrivals

    def signal_later(self, *delays: float):
        def send():
            for delay in delays:
                time.sleep(delay)
                os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=send, daemon=True).start()

    def test_output_arrives_as_written_every_byte_unchanged(self):
        self.boot_run = self.boot()
        line = ("printf '%b' \"$(printf '\\\\%03o' $(seq 0 255))\"; sleep 0.4; printf end; "
                "printf e >&2")
        status, output, errors, arrivals = self.command(line)
        self.assertEqual((status, output, errors), (0, bytes(range(256)) + b"end", b"e"))
        self.assertGreater(arrivals[-1][0] - arrivals[0][0], 0.3)

    def test_a_signal_reaches_the_command_and_a_second_stops_the_vm(self):
        self.boot_run = self.boot()
        self.signal_later(0.3)
        status, *_ = self.command("sleep 5")
        self.assertEqual((status, self.boot_run.interrupted), (130, signal.SIGINT))
        # A command that outlives the first: the second stops QEMU at once.
        self.signal_later(0.3, 0.3)
        with self.assertRaises(Stopped) as stopped:
            self.command("trap '' INT; sleep 5")
        self.assertEqual(stopped.exception.status, 130)
        self.assertIn("a second SIGINT", str(stopped.exception))
        self.assertIsNotNone(self.boot_run.vm.process.poll())

    def test_stop_after_and_silence(self):
        self.options.stop_after, self.options.timeout = 0.5, 2
        self.boot_run = self.boot()
        started = time.monotonic()
        self.assertEqual(self.command("sleep 5")[0], 130)
        self.assertLess(time.monotonic() - started, 2)
        self.options.stop_after = None
        # Writing now and then keeps a command going past the time limit; silence does not.
        status, output, *_ = self.command("for i in 1 2 3 4 5; do sleep 0.8; echo $i; done")
        self.assertEqual((status, output), (0, b"1\n2\n3\n4\n5\n"))
        with self.assertRaisesRegex(Failure, "neither wrote nor ended for 2 seconds"):
            self.command("echo once; sleep 5")

    def test_a_power_cut_passes_on_what_was_written_and_ends_qemu(self):
        self.options.cut_after = 0.5
        self.boot_run = self.boot()
        with self.assertRaises(Stopped) as stopped:
            self.command("echo written; sleep 5", out=main.write_to(self.pipe_writer()))
        self.assertEqual(stopped.exception.status, 137)
        self.assertEqual(os.read(self.reader, 100), b"written\n")
        self.assertIsNotNone(self.boot_run.vm.process.poll())

    def pipe_writer(self) -> int:
        self.reader, writer = os.pipe()
        self.addCleanup(os.close, self.reader)
        self.addCleanup(os.close, writer)
        return writer

    def test_a_reader_that_goes_away_stops_the_command(self):
        self.boot_run = self.boot()
        reader, writer = os.pipe()
        os.close(reader)
        self.addCleanup(os.close, writer)
        started = time.monotonic()
        with self.assertRaises(Stopped) as stopped:
            self.command("while :; do echo x; sleep 0.1; done",
                         out=main.write_to(writer, self.boot_run.vm))
        self.assertEqual(stopped.exception.status, 128 + signal.SIGPIPE)
        self.assertLess(time.monotonic() - started, 3)

    def test_protocol_faults_are_the_scripts_failures(self):
        started = time.monotonic()
        with self.assertRaisesRegex(Failure, r"not ready .*: the firmware took a CPU exception "
                                             r"\(X64 Exception Type - 0D\(#GP"):
            self.boot("--exception")
        self.assertLess(time.monotonic() - started, self.options.timeout / 2)
        self.run_.stop_vm()
        for fake, message in (("--lie", "sent more than it wrote"),
                              ("--die-on-run", "QEMU stopped unexpectedly")):
            with self.subTest(fake=fake):
                self.boot_run = self.boot(fake)
                with self.assertRaisesRegex(Failure, message):
                    self.command("echo hello")
                self.boot_run.stop_vm()


if __name__ == "__main__":
    session.catch_signals()
    unittest.main(verbosity=2)
