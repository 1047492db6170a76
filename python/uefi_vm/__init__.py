"""scripts/uefi-vm: kestomandrel in a throwaway UEFI virtual machine (QEMU), streamed live."""
