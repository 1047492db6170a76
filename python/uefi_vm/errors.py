"""How a run of scripts/uefi-vm ends other than with the tool's status."""

FAILED = 125  # the script's own failures; the tool itself exits with 0, 1 or 255
CUT = 137  # --cut-after cut the power: 128 + SIGKILL, which ended QEMU


class Failure(Exception):
    """The script or the VM failed: the message goes to standard error and the status is 125."""


class Stopped(Exception):
    """The run ends early with this exit status, e.g. 130 after Ctrl-C before the tool started,
    or 141 when the reader of standard output went away."""

    def __init__(self, status: int, message: str = ""):
        super().__init__(message)
        self.status = status
