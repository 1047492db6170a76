"""An edk2 variable store file read as the firmware lays it out: the firmware volume's header, the
variable store's header, the records (a header, the UCS-2 name, the data, each record aligned to 4
bytes), the free space after them, and the fault-tolerant write (FTW) areas that follow: the
working block with its work space, and the spare block a reclaim builds the new store in.

A record's state byte goes from FF through 7F (header valid) to 3F (added); bits are only ever
cleared, so 3E is a record on its way to deletion (still the variable's value until its successor is
added) and 3D or 3C a deleted one."""

import struct
import uuid
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

AUTHENTICATED = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
WORKING_BLOCK = uuid.UUID("9e58292b-7c68-497d-a0ce-6500fd9f1b95")
START_ID = 0x55AA
STORE_HEADER = 28
HEADER_VALID, ADDED, IN_DELETION = 0x7F, 0x3F, 0x3E
RUNTIME = 0x4  # the attribute that makes a variable visible to the OS


class NotAStore(Exception):
    pass


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
                    if at == 2:
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


def layout(image) -> Layout:
    """IMAGE's layout (bytes or bytearray); NotAStore when it holds no formatted store."""
    if len(image) < 0x100 or image[0x28:0x2C] != b"_FVH":
        raise NotAStore("no firmware volume at the start of the store file")
    volume_length = struct.unpack_from("<Q", image, 0x20)[0]
    header_length = struct.unpack_from("<H", image, 0x30)[0]
    block_size = struct.unpack_from("<I", image, 0x3C)[0] or 0x1000
    if not 0x48 <= header_length < 0x1000:
        raise NotAStore("the firmware volume's header length is out of range")
    signature = uuid.UUID(bytes_le=bytes(image[header_length:header_length + 16]))
    size = struct.unpack_from("<I", image, header_length + 16)[0]
    if size == 0 or size == 0xFFFFFFFF or header_length + size > len(image):
        raise NotAStore("the variable store's header gives no size that fits")
    found = Layout(header_length, header_length + STORE_HEADER, header_length + size,
                   signature == AUTHENTICATED)
    found.records, found.free = _records(image, found)
    work = image.find(WORKING_BLOCK.bytes_le, found.end)
    if work >= 0:
        queue = struct.unpack_from("<Q", image, work + 24)[0]
        work_end = min(work + 32 + queue, len(image))
        found.work_space = (work, work_end)
        block_start = work - work % block_size
        spare = -(-work_end // block_size) * block_size
        found.working_block = (block_start, spare)
        found.spare = (spare, max(spare, min(volume_length, len(image))))
    return found


def _records(image, found: Layout) -> Tuple[List[Record], int]:
    header = 60 if found.authenticated else 32
    sizes = 36 if found.authenticated else 8
    records: List[Record] = []
    offset = found.start
    while offset + header <= found.end:
        start_id, state, _, attributes = struct.unpack_from("<HBBI", image, offset)
        if start_id != START_ID:
            break
        name_size, data_size = struct.unpack_from("<II", image, offset + sizes)
        name_at = offset + header
        if name_at + name_size + data_size > found.end:
            break
        name = bytes(image[name_at:name_at + name_size]).decode("utf-16-le", "replace")
        guid = uuid.UUID(bytes_le=bytes(image[offset + sizes + 8:offset + sizes + 24]))
        data = bytes(image[name_at + name_size:name_at + name_size + data_size])
        record = Record(offset, header, state, attributes, name.split("\0", 1)[0], str(guid),
                        name_size, data)
        records.append(record)
        offset = record.end
    return records, offset


def record_size(image, name: str, data_size: int) -> int:
    """The bytes a variable's record takes."""
    header = 60 if layout(image).authenticated else 32
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
