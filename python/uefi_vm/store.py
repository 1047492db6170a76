"""An edk2 variable store file as the firmware lays it out, read and written: the firmware volume's
header, the variable store's header, the records (a header, the UCS-2 name, the data, each record
aligned to 4 bytes), the free space after them, and the fault-tolerant write (FTW) areas that
follow: the working block with its work space, and the spare block a reclaim builds the new store
in.

A record's state byte goes from FF through 7F (header valid) to 3F (added); bits are only ever
cleared, so 3E is a record on its way to deletion (still the variable's value until its successor is
added) and 3D or 3C a deleted one."""

import struct
import uuid
from collections import namedtuple
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

from .text import GLOBAL

AUTHENTICATED = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")  # records with a time stamp
PLAIN = uuid.UUID("ddcf3616-3275-4164-98b6-fe85707ffe7d")
WORKING_BLOCK = uuid.UUID("9e58292b-7c68-497d-a0ce-6500fd9f1b95")
VOLUME_SIGNATURE = b"_FVH"
START_ID = 0x55AA
FORMATTED, HEALTHY = 0x5A, 0xFE  # the store header's format and state bytes
HEADER_VALID, ADDED, IN_DELETION = 0x7F, 0x3F, 0x3E
RUNTIME = 0x4  # the attribute that makes a variable visible to the OS


class NotAStore(Exception):
    """The bytes hold no formatted, healthy edk2 variable store; the message says what is wrong."""


class Shape:
    """A structure as the firmware lays it out: a little-endian struct format and its fields."""

    def __init__(self, name: str, fields: Sequence[Tuple[str, str]]):
        self.name = name
        self.struct = struct.Struct("<" + "".join(code for _, code in fields))
        self.tuple = namedtuple(name, [field_name for field_name, _ in fields])
        self.size = self.struct.size

    def read(self, image, offset: int = 0):
        return self.tuple._make(self.struct.unpack_from(image, offset))

    def write(self, **values) -> bytes:
        return self.struct.pack(*self.tuple(**values))


# EFI_FIRMWARE_VOLUME_HEADER, up to its block map; the first (count, size) entry follows it.
VOLUME = Shape("Volume", [("zero_vector", "16s"), ("file_system", "16s"), ("length", "Q"),
                          ("signature", "4s"), ("attributes", "I"), ("header_length", "H"),
                          ("checksum", "H"), ("extension_offset", "H"), ("reserved", "B"),
                          ("revision", "B"), ("blocks", "I"), ("block_size", "I")])
# VARIABLE_STORE_HEADER: its size counts the header itself.
STORE = Shape("Store", [("signature", "16s"), ("size", "I"), ("format", "B"), ("state", "B"),
                        ("reserved", "H"), ("reserved1", "I")])
# AUTHENTICATED_VARIABLE_HEADER and VARIABLE_HEADER: the name and the data follow.
AUTHENTICATED_RECORD = Shape("AuthenticatedRecord", [
    ("start_id", "H"), ("state", "B"), ("reserved", "B"), ("attributes", "I"),
    ("monotonic_count", "Q"), ("time_stamp", "16s"), ("public_key_index", "I"),
    ("name_size", "I"), ("data_size", "I"), ("vendor", "16s")])
PLAIN_RECORD = Shape("PlainRecord", [
    ("start_id", "H"), ("state", "B"), ("reserved", "B"), ("attributes", "I"),
    ("name_size", "I"), ("data_size", "I"), ("vendor", "16s")])
# EFI_FAULT_TOLERANT_WORKING_BLOCK_HEADER: its work space (the write queue) follows.
WORKING_BLOCK_HEADER = Shape("WorkingBlock", [("signature", "16s"), ("crc", "I"),
                                              ("flags", "B"), ("reserved", "3s"),
                                              ("queue_size", "Q")])
VOLUME_HEADER = VOLUME.size + 8  # with the block map's terminating (0, 0) entry
STORE_HEADER = STORE.size
STATE = 2  # the state byte's offset in either record header


@dataclass(frozen=True)
class Record:
    offset: int
    header: int  # the header's size: 60 for authenticated stores, 32 otherwise
    state: int
    attributes: int
    name: str
    guid: str  # lower case, as efivarfs names it
    name_size: int
    data: bytes

    @property
    def key(self) -> str:
        """The variable's file name in efivarfs."""
        return f"{self.name}-{self.guid}"

    @property
    def end(self) -> int:
        return (self.offset + self.header + self.name_size + len(self.data) + 3) & ~3


@dataclass
class Layout:
    volume_header: int  # the firmware volume's header length: the store's header follows
    start: int  # the first record
    end: int  # the end of the variable store
    authenticated: bool
    records: List[Record] = field(default_factory=list)
    free: int = 0  # where the free space after the last record begins
    work_space: Optional[Tuple[int, int]] = None  # FTW work space (start, end)
    working_block: Optional[Tuple[int, int]] = None  # the flash blocks that hold it
    spare: Optional[Tuple[int, int]] = None  # FTW spare area (start, end)

    def field(self, offset: int) -> str:
        """What the byte at OFFSET is part of."""
        if offset < self.volume_header:
            return "volume header"
        if offset < self.start:
            return "store header"
        if offset < self.end:
            for record in self.records:
                if record.offset <= offset < record.end:
                    at = offset - record.offset
                    if at == STATE:
                        return "state"
                    if at < record.header:
                        return "header"
                    return "name" if at < record.header + record.name_size else "data"
            return "free"
        for name, area in (("ftw work space", self.work_space),
                           ("ftw working block", self.working_block), ("ftw spare", self.spare)):
            if area and area[0] <= offset < area[1]:
                return name
        return "other"

    def area(self, offset: int) -> str:
        """The area an erase at OFFSET falls in."""
        if offset < self.end:
            return "store"
        name = self.field(offset)
        return "ftw working block" if name == "ftw work space" else name


def _volume(image) -> Tuple[int, int, int]:
    """The firmware volume's length, header length and block size."""
    if len(image) < 0x100 or image[0x28:0x2C] != VOLUME_SIGNATURE:
        raise NotAStore("no firmware volume at the start of the store file")
    volume = VOLUME.read(image)
    if not VOLUME_HEADER <= volume.header_length < 0x1000:
        raise NotAStore("the firmware volume's header length is out of range")
    return volume.length, volume.header_length, volume.block_size or 0x1000


def _store_header(image, at: int):
    """The variable store's header at AT, refused unless the store is formatted and healthy."""
    header = STORE.read(image, at)
    signature = uuid.UUID(bytes_le=header.signature)
    if signature not in (AUTHENTICATED, PLAIN):
        raise NotAStore(f"the variable store's signature {signature} is not an edk2 store's")
    if header.format != FORMATTED:
        raise NotAStore(f"the variable store's format byte is {header.format:#04x}, not "
                        f"{FORMATTED:#04x} (formatted)")
    if header.state != HEALTHY:
        raise NotAStore(f"the variable store's state byte is {header.state:#04x}, not "
                        f"{HEALTHY:#04x} (healthy)")
    if header.size <= STORE_HEADER or at + header.size > len(image):
        raise NotAStore("the variable store's header gives no size that fits")
    return header, signature == AUTHENTICATED


def layout(image) -> Layout:
    """IMAGE's layout (bytes or bytearray); NotAStore when it holds no formatted store."""
    volume_length, header_length, block_size = _volume(image)
    header, authenticated = _store_header(image, header_length)
    found = Layout(header_length, header_length + STORE_HEADER, header_length + header.size,
                   authenticated)
    found.records, found.free = _records(image, found)
    work = image.find(WORKING_BLOCK.bytes_le, found.end)
    if work >= 0 and work + WORKING_BLOCK_HEADER.size <= len(image):
        queue = WORKING_BLOCK_HEADER.read(image, work).queue_size
        work_end = min(work + WORKING_BLOCK_HEADER.size + queue, len(image))
        found.work_space = (work, work_end)
        block_start = work - work % block_size
        spare = -(-work_end // block_size) * block_size
        found.working_block = (block_start, spare)
        found.spare = (spare, max(spare, min(volume_length, len(image))))
    return found


def record_shape(authenticated: bool) -> Shape:
    return AUTHENTICATED_RECORD if authenticated else PLAIN_RECORD


def _records(image, found: Layout) -> Tuple[List[Record], int]:
    shape = record_shape(found.authenticated)
    records: List[Record] = []
    offset = found.start
    while offset + shape.size <= found.end:
        header = shape.read(image, offset)
        if header.start_id != START_ID:
            break
        name_at = offset + shape.size
        if name_at + header.name_size + header.data_size > found.end:
            break
        name = bytes(image[name_at:name_at + header.name_size]).decode("utf-16-le", "replace")
        data = bytes(image[name_at + header.name_size:
                           name_at + header.name_size + header.data_size])
        record = Record(offset, shape.size, header.state, header.attributes,
                        name.split("\0", 1)[0], str(uuid.UUID(bytes_le=header.vendor)),
                        header.name_size, data)
        records.append(record)
        offset = record.end
    return records, offset


def record_size(image, name: str, data_size: int) -> int:
    """The bytes a variable's record takes."""
    header = record_shape(layout(image).authenticated).size
    return (header + 2 * (len(name) + 1) + data_size + 3) & ~3


def free_bytes(image) -> int:
    """The store's free space at its end: edk2 appends every write there, and gives back the space
    of deleted records only when it reclaims them, at boot."""
    found = layout(image)
    return found.end - found.free


def variables(image, runtime_only: bool = True) -> Dict[str, Tuple[int, bytes]]:
    """The variables the store holds, as the firmware finds them: key -> (attributes, data). A
    record on its way to deletion still counts while no added record of the same variable exists.
    With RUNTIME_ONLY, only those the OS can see."""
    added: Dict[str, Record] = {}
    leaving: Dict[str, Record] = {}
    for record in layout(image).records:
        if record.state == ADDED:
            added[record.key] = record
        elif record.state == IN_DELETION:
            leaving[record.key] = record
    found = {**leaving, **added}
    return {key: (record.attributes, record.data) for key, record in found.items()
            if not runtime_only or record.attributes & RUNTIME}


def settled_value(found: Layout, name: str) -> Optional[bytes]:
    """NAME's data when the store stands between two updates of it: exactly one added record of it
    and none half-written or on its way out; None otherwise (also when NAME has no record)."""
    mine = [record for record in found.records if record.name == name]
    added = [record for record in mine if record.state == ADDED]
    if len(added) != 1 or any(record.state in (HEADER_VALID, IN_DELETION, 0xFF)
                              for record in mine):
        return None
    return added[0].data


# --- Writing a store ------------------------------------------------------------------------------

def record(name: str, data: bytes, state: int = ADDED, attributes: int = 7,
           vendor: uuid.UUID = GLOBAL, authenticated: bool = True) -> bytes:
    """A record as edk2 writes it: its header, the UCS-2 name, the data, erased bytes up to the
    next multiple of 4."""
    encoded = (name + "\0").encode("utf-16-le")
    common = dict(start_id=START_ID, state=state, reserved=0, attributes=attributes,
                  name_size=len(encoded), data_size=len(data), vendor=vendor.bytes_le)
    if authenticated:
        common.update(monotonic_count=0, time_stamp=bytes(16), public_key_index=0)
    body = record_shape(authenticated).write(**common) + encoded + data
    return body + b"\xff" * (-len(body) % 4)


def working_block(queue_size: int = 0) -> bytes:
    """An FTW working block's header, valid, with an empty work space of QUEUE_SIZE bytes."""
    return WORKING_BLOCK_HEADER.write(signature=WORKING_BLOCK.bytes_le, crc=0, flags=0xFE,
                                      reserved=b"\xff" * 3, queue_size=queue_size)


def image(records: Sequence[bytes], store_size: int, *, authenticated: bool = True,
          block_size: int = 0x1000, blocks: int = 0, ftw: bool = False,
          format_byte: int = FORMATTED, state: int = HEALTHY) -> bytearray:
    """A store file: the firmware volume's header, a store of STORE_SIZE bytes (its header
    included) holding RECORDS (from record(), of the same kind), erased flash after them; with FTW
    an FTW working block right after the store. The volume is BLOCKS blocks of BLOCK_SIZE, or ends
    where the store (or the working block's header) does."""
    end = VOLUME_HEADER + store_size + (WORKING_BLOCK_HEADER.size if ftw else 0)
    length = blocks * block_size or end
    flash = bytearray(b"\xff" * max(length, end))
    flash[:VOLUME_HEADER] = VOLUME.write(
        zero_vector=bytes(16), file_system=bytes(16), length=length, signature=VOLUME_SIGNATURE,
        attributes=0, header_length=VOLUME_HEADER, checksum=0, extension_offset=0, reserved=0,
        revision=2, blocks=blocks or 1, block_size=block_size) + bytes(8)
    signature = AUTHENTICATED if authenticated else PLAIN
    at = VOLUME_HEADER
    flash[at:at + STORE_HEADER] = STORE.write(signature=signature.bytes_le, size=store_size,
                                              format=format_byte, state=state, reserved=0,
                                              reserved1=0)
    body = b"".join(records)
    if STORE_HEADER + len(body) > store_size:
        raise ValueError(f"{len(body)} bytes of records do not fit a store of {store_size}")
    flash[at + STORE_HEADER:at + STORE_HEADER + len(body)] = body
    if ftw:
        flash[at + store_size:end] = working_block()
    return flash
