"""The firmwares scripts/uefi-vm can boot, and the two machines they run on, as data."""

from dataclasses import dataclass
from typing import Optional, Tuple

OVMF = "/usr/share/OVMF"
AAVMF = "/usr/share/AAVMF"


@dataclass(frozen=True)
class Machine:
    """A guest CPU architecture: how QEMU emulates it and what the guest needs on it."""

    qemu: str  # the emulator
    qemu_package: str
    machine: str  # QEMU's -machine type
    cpu: Optional[str]  # QEMU's -cpu, when the machine's default will not do
    memory: int  # MiB
    console: str  # the kernel's console device
    serial_bus: str  # the virtio-serial device that carries the agent's ports
    modules: Tuple[str, ...]  # the guest modules its ports need (efivarfs comes too)
    preset: str  # the CMake preset of the statically linked tool for it


MACHINES = {
    "x86_64": Machine(
        qemu="qemu-system-x86_64",
        qemu_package="qemu-system-x86",
        machine="q35",
        cpu=None,
        memory=512,
        console="ttyS0",
        serial_bus="virtio-serial-pci",
        modules=("virtio_pci", "virtio_console"),
        preset="linux-static",
    ),
    "aarch64": Machine(
        qemu="qemu-system-aarch64",
        qemu_package="qemu-system-arm",
        machine="virt",
        cpu="cortex-a57",
        memory=1024,
        console="ttyAMA0",
        serial_bus="virtio-serial-device",
        modules=("virtio_mmio", "virtio_console"),
        preset="linux-aarch64-static",
    ),
}


@dataclass(frozen=True)
class Firmware:
    name: str
    summary: str  # one line of --help
    arch: str  # a key of MACHINES
    packages: Tuple[str, ...]  # the host's Debian packages it needs besides QEMU
    code: str  # the firmware's read-only flash, or U-Boot's -bios image
    vars: Optional[str]  # the factory variable store each run starts from; None for U-Boot
    smm: bool = False  # Secure Boot builds: SMM and a secure flash
    uboot: bool = False  # boots the kernel from a FAT disk with a boot script

    @property
    def machine(self) -> Machine:
        return MACHINES[self.arch]


FIRMWARES = (
    Firmware("ovmf", "x86_64 edk2 (OVMF), Secure Boot off", "x86_64", ("ovmf",),
             f"{OVMF}/OVMF_CODE_4M.fd", f"{OVMF}/OVMF_VARS_4M.fd"),
    # Microsoft's keys enrolled, Secure Boot on; Debian's signed kernel boots under it.
    Firmware("ovmf-secure", "x86_64 edk2, Secure Boot on, Microsoft's keys enrolled", "x86_64",
             ("ovmf",), f"{OVMF}/OVMF_CODE_4M.secboot.fd", f"{OVMF}/OVMF_VARS_4M.ms.fd",
             smm=True),
    # 32-bit firmware; Debian's 64-bit kernel starts on it in mixed mode.
    Firmware("ovmf-ia32", "32-bit edk2, the 64-bit kernel in mixed mode", "x86_64",
             ("ovmf-ia32",), f"{OVMF}/OVMF32_CODE_4M.secboot.fd", f"{OVMF}/OVMF32_VARS_4M.fd",
             smm=True),
    Firmware("aavmf", "AArch64 edk2, an aarch64 build of the tool", "aarch64",
             ("qemu-efi-aarch64",), f"{AAVMF}/AAVMF_CODE.fd", f"{AAVMF}/AAVMF_VARS.fd"),
    # U-Boot offers no SetVariable at run time: the kernel mounts efivarfs read-only.
    Firmware("u-boot", "AArch64 U-Boot's UEFI (variables read-only at run time)", "aarch64",
             ("u-boot-qemu", "u-boot-tools"), "/usr/lib/u-boot/qemu_arm64/u-boot.bin", None,
             uboot=True),
)


def find(name: str) -> Optional[Firmware]:
    for firmware in FIRMWARES:
        if firmware.name == name:
            return firmware
    return None


def names() -> str:
    return ", ".join(firmware.name for firmware in FIRMWARES)
