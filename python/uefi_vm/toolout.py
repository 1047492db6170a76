"""What the tool's output says, read back by the benches: a /g's bytes or its error, and the loop's
last counter. The tool's own texts are fixed ("In Hex Bytes:", "Error Code : 0x..")."""

import re
from typing import Optional

_ERROR = re.compile(r"Error Code : (0x[0-9a-f]+)")
_LOOP_VIEW = re.compile(
    rb"Length : 4\(0x4\) bytes\r?\n In Hex Bytes:\r?\n((?: [0-9A-F]{2} ){4})\r?\n")
NO_SUCH_VARIABLE = "0xcb"


def hex_view(output: str) -> Optional[str]:
    """The bytes a /g output shows in its hex view, "48 0A 00 00", or None when it shows none."""
    if "In Hex Bytes:" not in output:
        return None
    view = output.split("In Hex Bytes:", 1)[1].split("In Character Bytes:", 1)[0]
    return " ".join(view.split())


def error_code(output: str) -> Optional[str]:
    """The error code a failed call printed, "0xcb", or None."""
    code = _ERROR.search(output)
    return code.group(1) if code else None


def read_value(output: str) -> Optional[str]:
    """The variable as a /g printed it: its bytes ("2A 00 00 00"), None when there is no such
    variable, or "error 0x.." for another failure ("error: no output" when there is neither)."""
    view = hex_view(output)
    if view is not None:
        return view
    code = error_code(output)
    if code == NO_SUCH_VARIABLE:
        return None
    return f"error {code}" if code else "error: no output"


def last_counter(output: bytes) -> Optional[int]:
    """The counter of the last whole iteration the loop printed."""
    views = _LOOP_VIEW.findall(output)
    return int.from_bytes(bytes.fromhex(views[-1].decode()), "little") if views else None
