"""Where the cuts fall: each write labelled with the field of the store it touched, the store
walked write by write, the updates of V in a logged loop, and the samples of points (by field,
spread evenly, around the erases)."""

from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

from ... import flashlog, store
from .bench import BenchError


def label(op: flashlog.Op, before: List[bytes], final: Optional[store.Layout]) -> str:
    """What OP touched, by the layout of the store at the end of the writes: the fields of the
    bytes it changed, or of all its bytes when it changed none."""
    if final is None:
        return "erase" if op.erase else "unformatted store"
    if op.erase:
        return f"erase {final.area(op.erase[0])}"
    changed = [offset + i for (offset, data), old in zip(op.runs, before)
               for i in range(len(data)) if data[i] != old[i]]
    spots = changed or [offset + i for offset, data in op.runs for i in range(len(data))]
    names: List[str] = []
    for spot in spots:
        name = final.field(spot)
        if name not in names:
            names.append(name)
    return "+".join(names) + ("" if changed else " (same bytes)")


def walk(start: bytes, ops: Sequence[flashlog.Op], counts: Sequence[int],
         final: Optional[store.Layout], base: int = 0):
    """The store after each of COUNTS (ascending) writes: (count, the store, the last write and
    its label; none at BASE, where the cuts begin). The store is one buffer, changed as the walk
    goes on."""
    image = bytearray(start)
    done = 0
    for count in counts:
        if count == base:
            flashlog.apply(image, ops[done:count])
            done = count
            yield count, image, None, "none"
        elif count > done:
            flashlog.apply(image, ops[done:count - 1])
            op = ops[count - 1]
            before = [] if op.erase else [bytes(image[o:o + len(d)]) for o, d in op.runs]
            flashlog.apply(image, [op])
            done = count
            yield count, image, op, label(op, before, final)
        else:
            yield count, image, None, "none"


def layout_of(image) -> Optional[store.Layout]:
    try:
        return store.layout(image)
    except store.NotAStore:
        return None


@dataclass
class Update:
    first: int  # writes before it: the store then holds the old value, settled
    last: int  # writes after it: the new value is settled
    old: bytes
    new: bytes


def updates(start: bytes, log: flashlog.Log, name: str) -> List[Update]:
    """Every update of NAME in the logged command: the writes between the last moment its old
    value stood settled and the first moment its new value did."""
    begin = log.marker("run 1") or 0
    image = flashlog.apply(bytearray(start), log.ops[:begin])
    settled: List[Tuple[int, bytes]] = []
    for count in range(begin, len(log.ops) + 1):
        if count > begin:
            flashlog.apply(image, log.ops[count - 1:count])
        found = layout_of(image)
        value = store.settled_value(found, name) if found else None
        if value is not None:
            settled.append((count, value))
    return [Update(a, b, old, new) for (a, old), (b, new) in zip(settled, settled[1:])
            if old != new]


def choose(found: List[Update], counter: Optional[int]) -> Update:
    if counter is not None:
        for update in found:
            if update.new == counter.to_bytes(4, "little"):
                return update
        raise BenchError(f"the logged loop has no update to counter {counter}")
    if not found:
        raise BenchError("the logged loop shows no whole update of the variable")
    middle = found[len(found) // 3:max(len(found) // 3 + 1, 2 * len(found) // 3)]
    centre = len(found) // 2
    return max(middle, key=lambda u: (u.last - u.first, -abs(found.index(u) - centre)))


def by_fields(points: List[Tuple[int, str, Optional[flashlog.Op]]]) -> List[int]:
    """A sample that covers every field: the first and last points, and the middle write of each
    run of writes to adjacent bytes of the same field."""
    chosen = {points[0][0], points[-1][0]}
    run: List[int] = []
    for at, (count, name, op) in enumerate(points[1:], start=1):
        run.append(count)
        following = points[at + 1] if at + 1 < len(points) else None
        if (following is None or following[1] != name or op is None or op.erase
                or following[2].erase
                or following[2].offset not in (op.offset, op.offset + op.size)):
            chosen.add(run[len(run) // 2])
            run = []
    return sorted(chosen)


def spread(low: int, high: int, count: int) -> List[int]:
    """COUNT points evenly inside (LOW, HIGH)."""
    return sorted({low + round((i + 1) * (high - low) / (count + 1)) for i in range(count)})


def around_erases(ops: Sequence[flashlog.Op], low: int, high: int, count: int) -> List[int]:
    """COUNT points over the writes LOW..HIGH: just before, inside and just after each run of
    erases first, the rest spread evenly."""
    special: List[int] = []
    index = low
    while index < high:
        if ops[index].erase:
            end = index
            while end < high and ops[end].erase:
                end += 1
            special += [index, index + max(1, (end - index) // 2), end]
            index = end
        else:
            index += 1
    special = sorted(set(special))
    if len(special) > count:
        special = [special[round(i * (len(special) - 1) / max(1, count - 1))]
                   for i in range(count)]
    rest = count - len(special)
    return sorted(set(special) | set(spread(low, high, rest) if rest > 0 else []))
