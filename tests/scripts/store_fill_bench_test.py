#!/usr/bin/python3
"""An edk2 variable store file written and read back, and refused when it is no formatted, healthy
store; bench/store-fill's reading of it, which tells which layer refused the loop's write, of the
tool's /g output, and its exit status."""

import contextlib
import io
import tempfile
import unittest
import uuid
from pathlib import Path

from uefi_vm import store
from uefi_vm.errors import Failure
from uefi_vm.bench import store_fill

STORE_SIZE = 0x400


def image(records, authenticated: bool = True) -> bytes:
    """A store file of STORE_SIZE bytes holding RECORDS: (name, data, state)."""
    return bytes(store.image([store.record(name, data, state, authenticated=authenticated)
                              for name, data, state in records], STORE_SIZE,
                             authenticated=authenticated))


class StoreFile(unittest.TestCase):
    def test_free_space_after_live_and_deleted_records(self):
        records = [("SysPrepOrder", b"\x01\x00\x00\x00", 0x3C),  # deleted: still takes room
                   ("SysPrepOrder", b"\x02\x00\x00\x00", 0x3F),
                   ("Odd", b"\x01\x02\x03", 0x3F)]
        for authenticated, header in ((True, 60), (False, 32)):
            with self.subTest(authenticated=authenticated):
                found = image(records, authenticated)
                used = 2 * ((header + 26 + 4 + 3) & ~3) + ((header + 8 + 3 + 3) & ~3)
                self.assertEqual(store.free_bytes(found), STORE_SIZE - 28 - used)
                self.assertEqual(store_fill.store_size(found), STORE_SIZE)
                self.assertEqual(store.record_size(found, "SysPrepOrder", 4),
                                 (header + 30 + 3) & ~3)
        self.assertEqual(store.record_size(image([]), "SysPrepOrder", 4), 92)

    def test_what_the_writer_wrote_is_read_back(self):
        vendor = uuid.UUID("4b4d5646-0001-4e6f-8000-4b45535443ae")
        written = [("Old", b"\x01", 0x3C, 7, store.GLOBAL),  # deleted
                   ("Old", b"\x02", 0x3F, 7, store.GLOBAL),
                   ("Leaving", b"ab", 0x3E, 6, vendor),  # no successor: still the value
                   ("BootOnly", b"\x00" * 5, 0x3F, 3, vendor),  # the OS does not see it
                   ("Torn", b"xyz", 0x7F, 7, vendor)]
        for authenticated in (True, False):
            with self.subTest(authenticated=authenticated):
                flash = store.image([store.record(name, data, state, attributes, guid,
                                                  authenticated)
                                     for name, data, state, attributes, guid in written],
                                    0x3B8, authenticated=authenticated, block_size=0x400,
                                    blocks=3, ftw=True)
                found = store.layout(flash)
                self.assertEqual([(r.name, r.data, r.state, r.attributes, r.guid)
                                  for r in found.records],
                                 [(n, d, s, a, str(g)) for n, d, s, a, g in written])
                self.assertEqual((found.work_space, found.spare), ((0x400, 0x420), (0x800, 0xC00)))
                self.assertEqual(store.variables(flash),
                                 {f"Old-{store.GLOBAL}": (7, b"\x02"),
                                  f"Leaving-{vendor}": (6, b"ab")})
                self.assertIn(f"BootOnly-{vendor}", store.variables(flash, runtime_only=False))

    def test_what_is_not_a_store_is_refused(self):
        good = store.image([], STORE_SIZE)
        cases = [("zeros", bytes(0x40000), "no firmware volume"),
                 ("erased", b"\xff" * 0x40000, "no firmware volume"),
                 ("header length", good[:0x30] + b"\x10\x00"
                  + good[0x32:], "header length"),
                 ("signature", good[:0x48] + bytes(16) + good[0x58:], "signature"),
                 ("format byte", store.image([], STORE_SIZE, format_byte=0xFF),
                  "format byte is 0xff, not 0x5a"),
                 ("state byte", store.image([], STORE_SIZE, state=0xFF),
                  "state byte is 0xff, not 0xfe"),
                 ("size", good[:-1], "no size that fits")]
        for what, flash, message in cases:
            with self.subTest(what), self.assertRaisesRegex(store.NotAStore, message):
                store.layout(flash)

    def test_the_layer_that_refused(self):
        full = image([("Fill", b"\0" * (STORE_SIZE - 28 - 60 - 10 - 100), 0x3F)])
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        path = Path(work.name, "store.fd")
        path.write_bytes(full)
        self.assertIn("refused by the kernel", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                        "x86_64"))
        self.assertIn("had 100 bytes free", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                     "x86_64"))
        path.write_bytes(image([("Fill", b"\0" * (STORE_SIZE - 28 - 60 - 10 - 88), 0x3F)]))
        self.assertIn("refused by the firmware", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                          "aarch64"))

    def test_hex_bytes_of_a_read(self):
        read = (b"\nVariable Name : SysPrepOrder\nLength : 4(0x4) bytes\n In Hex Bytes:\n 48 "
                b" 0A  00  00 \n\n In Character Bytes:\nH \n \x00 \x00 \n")
        self.assertEqual(store_fill.hex_bytes(read), "48 0A 00 00")
        self.assertEqual(store_fill.hex_bytes(b"\nVariable Name : X\nGetFirmwareEnvironment "
                                              b"Function calls failed.Error Code : 0xcb"), "")


    def test_how_a_run_ended(self):
        # The harness's own failure is the bench's (125); another status but the expected one is
        # a finding (1).
        cases = [(0, 0, None), (130, 130, None), (125, 0, Failure), (125, 130, Failure),
                 (1, 0, store_fill.Failed), (0, 130, store_fill.Failed)]
        for status, expected, raised in cases:
            with self.subTest(status=status, expected=expected):
                if raised is None:
                    store_fill.ended("the loop", status, expected)
                else:
                    with self.assertRaises(raised):
                        store_fill.ended("the loop", status, expected)
        for wrong in (["--resume", "x"], ["--firmware", "no-such-firmware"], ["extra"]):
            with self.subTest(wrong=wrong), contextlib.redirect_stderr(io.StringIO()), \
                    self.assertRaises(SystemExit) as exited:
                store_fill.arguments(wrong)
            self.assertEqual(exited.exception.code, 125)

if __name__ == "__main__":
    unittest.main(verbosity=2)
