"""python3 -m uefi_vm: the harness, as scripts/uefi-vm and kestomandrel-vm run it."""

from .main import entry

entry()
