#!/usr/bin/python3
"""bench/store-fill's reading of an edk2 variable store file, which tells which layer refused the
loop's write, and of the tool's /g output."""

import struct
import tempfile
import unittest
import uuid
from pathlib import Path

from uefi_vm.bench import store_fill

ROOT = Path(__file__).resolve().parents[2]

AUTHENTICATED = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
PLAIN = uuid.UUID("ddcf3616-3275-4164-98b6-fe85707ffe7d")
STORE_SIZE = 0x400


def store(signature: uuid.UUID, records) -> bytes:
    """A firmware volume header (only its length matters), the store's header, the records as
    edk2 writes them (header, UCS-2 name, data, aligned to 4) and erased flash after them."""
    volume = bytearray(0x48)
    volume[0x28:0x2C] = b"_FVH"
    struct.pack_into("<H", volume, 0x30, 0x48)
    body = bytearray(signature.bytes_le + struct.pack("<IBBHI", STORE_SIZE, 0x5A, 0xFE, 0, 0))
    authenticated = signature == AUTHENTICATED
    for name, data, state in records:
        encoded = (name + "\0").encode("utf-16-le")
        header = bytearray(60 if authenticated else 32)
        struct.pack_into("<HBB", header, 0, 0x55AA, state, 0)
        struct.pack_into("<II", header, 36 if authenticated else 8, len(encoded), len(data))
        record = header + encoded + data
        body += record + b"\xff" * (-len(record) % 4)
    return bytes(volume + body + b"\xff" * (STORE_SIZE - len(body)))


class StoreFile(unittest.TestCase):
    def test_free_space_after_live_and_deleted_records(self):
        records = [("SysPrepOrder", b"\x01\x00\x00\x00", 0x3C),  # deleted: still takes room
                   ("SysPrepOrder", b"\x02\x00\x00\x00", 0x3F),
                   ("Odd", b"\x01\x02\x03", 0x3F)]
        for signature, header in ((AUTHENTICATED, 60), (PLAIN, 32)):
            with self.subTest(signature=signature):
                image = store(signature, records)
                used = 2 * ((header + 26 + 4 + 3) & ~3) + ((header + 8 + 3 + 3) & ~3)
                self.assertEqual(store_fill.free_bytes(image), STORE_SIZE - 28 - used)
                self.assertEqual(store_fill.store_size(image), STORE_SIZE)
                self.assertEqual(store_fill.record_size(image, "SysPrepOrder", 4),
                                 (header + 30 + 3) & ~3)
        self.assertEqual(store_fill.record_size(store(AUTHENTICATED, []), "SysPrepOrder", 4), 92)

    def test_a_store_that_is_not_formatted_yet_is_refused(self):
        with self.assertRaises(store_fill.NotAStore):
            store_fill.free_bytes(bytes(0x1000))

    def test_the_layer_that_refused(self):
        image = store(AUTHENTICATED, [("Fill", b"\0" * (STORE_SIZE - 28 - 60 - 10 - 100), 0x3F)])
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        path = Path(work.name, "store.fd")
        path.write_bytes(image)
        self.assertIn("refused by the kernel", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                        "x86_64"))
        self.assertIn("had 100 bytes free", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                     "x86_64"))
        path.write_bytes(store(AUTHENTICATED, [("Fill", b"\0" * (STORE_SIZE - 28 - 60 - 10 - 88),
                                                0x3F)]))
        self.assertIn("refused by the firmware", store_fill.refusal_layer(path, "SysPrepOrder",
                                                                          "aarch64"))

    def test_hex_bytes_of_a_read(self):
        read = (b"\nVariable Name : SysPrepOrder\nLength : 4(0x4) bytes\n In Hex Bytes:\n 48 "
                b" 0A  00  00 \n\n In Character Bytes:\nH \n \x00 \x00 \n")
        self.assertEqual(store_fill.hex_bytes(read), "48 0A 00 00")
        self.assertEqual(store_fill.hex_bytes(b"\nVariable Name : X\nGetFirmwareEnvironment "
                                              b"Function calls failed.Error Code : 0xcb"), "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
