"""python3 -m uefi_vm.bench.power_cut: bench/power-cut."""

from .cli import entry

if __name__ == "__main__":
    entry()
