"""QEMU's command line for a run: a pure function of the plan (the firmware, its machine, the
run's files and the machine's options)."""

import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import List

from . import flashlog
from .errors import Failure
from .firmware import Firmware, Machine

AGENT_PORTS = ("control", "stdout", "stderr", "signal")
LEGACY_LOADER = "opt/org.tianocore/EnableLegacyLoader"  # OVMF's switch, in QEMU's fw_cfg


@dataclass(frozen=True)
class Plan:
    """What one VM is made of. STORE is the variable store QEMU writes (for U-Boot, the image
    its saved state goes to), in STORE_FORMAT."""

    firmware: Firmware
    work: Path  # the run's directory: sockets, console, U-Boot's disk
    kernel: Path
    initrd: Path
    store: Path
    store_format: str
    cpus: int = 1
    kvm: bool = False
    flash_log: bool = False  # trace the store's flash for --flash-log

    @property
    def trace(self) -> Path:
        """QEMU's trace of the store's flash, for --flash-log."""
        return self.work / "flash.trace"

    @property
    def console(self) -> Path:
        return self.work / "console.log"

    @property
    def debug(self) -> Path:
        """The firmware's debug output (edk2's DEBUG and ASSERT messages): on x86 what it writes
        to the debug console at I/O port 0x402; on AArch64 it writes them on the serial
        console."""
        return self.work / "debug.log" if debug_console(self.firmware) else self.console

    @property
    def esp(self) -> Path:
        """U-Boot's FAT disk."""
        return self.work / "esp"


def kernel_command_line(machine: Machine) -> str:
    """Quiet, and spared the work a throw-away VM has no use for under emulation: the crypto
    self-tests of every algorithm it registers, and the CPU's speculation mitigations."""
    return f"console={machine.console} quiet panic=-1 cryptomgr.notests mitigations=off"


def debug_console(chosen: Firmware) -> bool:
    """Whether the firmware writes its debug output to QEMU's isa-debugcon: x86's edk2 does, at
    I/O port 0x402 (a RELEASE build writes nothing there)."""
    return chosen.machine_name == "x86_64" and not chosen.uboot


def command(plan: Plan) -> List[str]:
    chosen, machine = plan.firmware, plan.firmware.machine
    accel = "kvm" if plan.kvm else "tcg"
    argv = [machine.qemu, "-machine",
            machine.machine + (",smm=on" if chosen.smm else "") + f",accel={accel}",
            "-m", str(machine.memory)]
    if plan.kvm:
        argv += ["-cpu", "host"]
    elif machine.cpu:
        argv += ["-cpu", machine.cpu]
    argv += ["-smp", str(plan.cpus), "-nodefaults", "-no-reboot", "-display", "none",
             "-serial", f"file:{plan.console}", "-device", f"{machine.serial_bus},id=kmvm"]
    for name in AGENT_PORTS:
        argv += ["-chardev", f"socket,id={name},path={plan.work}/{name}.sock",
                 "-device", f"virtserialport,bus=kmvm.0,chardev={name},name=kmvm.{name}"]
    argv += ["-chardev", f"socket,id=qmp,path={plan.work}/qmp.sock",
             "-mon", "chardev=qmp,mode=control"]
    if chosen.smm:
        argv += ["-global", "driver=cfi.pflash01,property=secure,value=on"]
    if chosen.secure_boot and debug_console(chosen):
        # Under Secure Boot the kernel QEMU hands over is verified; Debian's is signed for shim,
        # which QEMU 7.2 cannot pass (-shim came in 10.0). OVMF then falls back to its own
        # loader: by itself up to edk2-stable202511 (Debian 13's), from edk2-stable202602
        # (forky's) only when this fw_cfg file says so. Older builds ignore it.
        argv += ["-fw_cfg", f"name={LEGACY_LOADER},string=yes"]
    if debug_console(chosen):
        argv += ["-debugcon", f"file:{plan.debug}", "-global", "isa-debugcon.iobase=0x402"]
    if plan.flash_log:
        for event in flashlog.EVENTS:
            argv += ["-trace", f"enable={event}"]
        argv += ["-D", str(plan.trace)]
    if chosen.uboot:
        return argv + [
            "-bios", chosen.code,
            "-drive", f"if=none,id=esp,format=raw,readonly=on,file=fat:{plan.esp}",
            "-device", "virtio-blk-device,drive=esp",
            # U-Boot has no flash for variables: the saved state needs an image to go to.
            "-drive", f"if=none,id=state,format=qcow2,file={plan.store}"]
    return argv + [
        "-drive", f"if=pflash,format={chosen.code_format},unit=0,readonly=on,file={chosen.code}",
        "-drive", f"if=pflash,format={plan.store_format},unit=1,file={plan.store}",
        "-kernel", str(plan.kernel), "-initrd", str(plan.initrd),
        "-append", kernel_command_line(machine)]


def uboot_disk(plan: Plan) -> None:
    """U-Boot cannot take a kernel from QEMU to boot it through UEFI: it boots it as an EFI
    application from a FAT disk, with a boot script that hands it its command line."""
    esp = plan.esp
    if esp.exists():
        return
    esp.mkdir()
    (esp / "Image").write_bytes(plan.kernel.read_bytes())
    (esp / "initrd").write_bytes(plan.initrd.read_bytes())
    script = plan.work / "boot.cmd"
    cmdline = kernel_command_line(plan.firmware.machine)
    script.write_text(f"setenv bootargs 'initrd=\\\\initrd {cmdline}'\n"
                      "load virtio 0:1 ${kernel_addr_r} Image\n"
                      "bootefi ${kernel_addr_r} ${fdtcontroladdr}\n")
    made = subprocess.run(["mkimage", "-A", "arm64", "-T", "script", "-C", "none", "-d",
                           str(script), str(esp / "boot.scr")], capture_output=True)
    if made.returncode:
        raise Failure("mkimage could not make U-Boot's boot script")
