# shellcheck shell=bash
# The firmwares scripts/uefi-vm can boot, one table: what each needs from the host, how QEMU starts
# it, and the guest (kernel, busybox, tool) that runs on it. Sourced by scripts/uefi-vm, which
# defines fail, root, work and the options, and reads the variables set here.
# shellcheck disable=SC2034,SC2154  # variables shared with scripts/uefi-vm

readonly FIRMWARES="ovmf ovmf-secure ovmf-ia32 aavmf u-boot"
readonly OVMF_DIR=/usr/share/OVMF
readonly AAVMF_DIR=/usr/share/AAVMF
readonly UBOOT_BIN=/usr/lib/u-boot/qemu_arm64/u-boot.bin

# Sets the fw_* variables for firmware $1:
#   fw_arch      the guest's CPU: x86_64 or aarch64
#   fw_packages  the host's Debian packages it needs
#   fw_code      the firmware's code (read-only flash), or for U-Boot its -bios image
#   fw_vars      the factory variable store copied for each run (none for U-Boot)
#   fw_machine   QEMU's machine options
#   fw_smm       1 when the firmware needs SMM and a secure flash (Secure Boot builds)
firmware_select() {
    fw_name=$1
    fw_smm=0
    case "$fw_name" in
        ovmf)
            fw_arch=x86_64 fw_packages="qemu-system-x86 ovmf"
            fw_code=$OVMF_DIR/OVMF_CODE_4M.fd fw_vars=$OVMF_DIR/OVMF_VARS_4M.fd ;;
        ovmf-secure)
            # Microsoft's keys enrolled, Secure Boot on; Debian's signed kernel boots under it.
            fw_arch=x86_64 fw_packages="qemu-system-x86 ovmf" fw_smm=1
            fw_code=$OVMF_DIR/OVMF_CODE_4M.secboot.fd fw_vars=$OVMF_DIR/OVMF_VARS_4M.ms.fd ;;
        ovmf-ia32)
            # 32-bit firmware; Debian's 64-bit kernel starts on it in mixed mode.
            fw_arch=x86_64 fw_packages="qemu-system-x86 ovmf-ia32" fw_smm=1
            fw_code=$OVMF_DIR/OVMF32_CODE_4M.secboot.fd fw_vars=$OVMF_DIR/OVMF32_VARS_4M.fd ;;
        aavmf)
            fw_arch=aarch64 fw_packages="qemu-system-arm qemu-efi-aarch64"
            fw_code=$AAVMF_DIR/AAVMF_CODE.fd fw_vars=$AAVMF_DIR/AAVMF_VARS.fd ;;
        u-boot)
            # U-Boot offers no SetVariable at run time: the kernel mounts efivarfs read-only.
            fw_arch=aarch64 fw_packages="qemu-system-arm u-boot-qemu u-boot-tools"
            fw_code=$UBOOT_BIN fw_vars="" ;;
        *) fail "unknown firmware: $fw_name (one of: $FIRMWARES)" ;;
    esac
    case "$fw_arch" in
        x86_64) fw_machine="q35" ;;
        aarch64) fw_machine="virt" ;;
    esac
    [ "$fw_smm" -eq 0 ] || fw_machine+=",smm=on"
}

# Packages missing for the chosen firmware, on one line.
firmware_missing_packages() {
    local package absent=()
    for package in $fw_packages busybox-static cpio kmod; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            absent+=("$package")
    done
    if [ "$fw_arch" = x86_64 ] && [ -z "$kernel" ] && [ -z "$(host_kernel)" ]; then
        absent+=(linux-image-cloud-amd64)
    fi
    [ "$fw_arch" != aarch64 ] || [ -n "$tool" ] || command -v aarch64-linux-gnu-g++ >/dev/null ||
        absent+=(g++-aarch64-linux-gnu)
    echo "${absent[*]}"
}

# The AArch64 guest's kernel and busybox come from Debian's arm64 packages, downloaded and unpacked
# (never installed) under build/: that needs arm64 in dpkg's architectures and its package lists.
firmware_prepare_install() {
    [ "$fw_arch" = aarch64 ] || return 0
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "uefi-vm: adding the arm64 architecture to dpkg, for the AArch64 guest's packages" >&2
        dpkg --add-architecture arm64 || fail "dpkg --add-architecture arm64 failed"
        apt-get update -qq >&2 || fail "apt-get update failed"
    elif ! apt-cache show busybox-static:arm64 >/dev/null 2>&1; then
        apt-get update -qq >&2 || fail "apt-get update failed"
    fi
}

host_kernel() {
    find /boot -maxdepth 1 -name 'vmlinuz-*' 2>/dev/null | sort -V | tail -n 1
}

# Unpacks the arm64 kernel and busybox into $1 (once; kept for later runs).
fetch_arm64_guest() {
    local cache=$1 kernel_package debs
    [ -f "$cache/ready" ] && return 0
    dpkg --print-foreign-architectures | grep -qx arm64 ||
        fail "the AArch64 guest needs Debian's arm64 packages: run with --install as root (adds the arm64 architecture)"
    kernel_package=$(apt-cache depends linux-image-cloud-arm64:arm64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
    [ -n "$kernel_package" ] ||
        fail "no arm64 kernel in the package lists (run apt-get update, or --install as root)"
    echo "uefi-vm: fetching ${kernel_package%:arm64} and busybox-static for arm64 into $cache" >&2
    rm -rf "$cache"
    debs=$cache/debs
    mkdir -p "$debs" "$cache/root"
    # apt's download user cannot write under build/: let it fetch into a directory it may use.
    chmod 0777 "$debs" 2>/dev/null || true
    (cd "$debs" && apt-get download -q "${kernel_package%:arm64}:arm64" busybox-static:arm64) >&2 ||
        fail "apt-get download of the arm64 kernel and busybox failed"
    for deb in "$debs"/*.deb; do
        dpkg-deb -x "$deb" "$cache/root" || fail "cannot unpack $deb"
    done
    rm -rf "$debs"
    touch "$cache/ready"
}

# Sets guest_root (where the kernel's modules and config are found), kernel, busybox and preset.
firmware_guest() {
    case "$fw_arch" in
        x86_64)
            guest_root=/ busybox=/bin/busybox preset=linux-static
            [ -n "$kernel" ] || kernel=$(host_kernel) ;;
        aarch64)
            guest_root=$root/build/uefi-vm-cache/arm64/root busybox=$guest_root/bin/busybox
            preset=linux-aarch64-static
            fetch_arm64_guest "${guest_root%/root}"
            [ -n "$kernel" ] ||
                kernel=$(find "$guest_root/boot" -maxdepth 1 -name 'vmlinuz-*' | sort -V | tail -n 1) ;;
    esac
}

# Modules the guest must load besides efivarfs: the driver of its results port.
firmware_modules() {
    case "$fw_arch" in
        x86_64) ;;
        aarch64) echo virtio_mmio virtio_console ;;
    esac
}

# The guest's results port, as its init finds it.
firmware_results_port() {
    case "$fw_arch" in
        x86_64) echo /dev/ttyS1 ;;
        aarch64) echo virtio:kmvm.results ;;
    esac
}

firmware_console() {
    case "$fw_arch" in
        x86_64) echo ttyS0 ;;
        aarch64) echo ttyAMA0 ;;
    esac
}

# U-Boot has no way to take a kernel from QEMU to boot it through UEFI: it boots the kernel as an EFI
# application from a FAT disk, with a boot script that hands it its command line. QEMU shows the
# directory $1 as that disk.
uboot_boot_disk() {
    local dir=$1 cmdline=$2
    mkdir -p "$dir"
    cp "$kernel" "$dir/Image"
    cp "$work/initrd" "$dir/initrd"
    cat >"$work/boot.cmd" <<EOF
setenv bootargs 'initrd=\\initrd $cmdline'
load virtio 0:1 \${kernel_addr_r} Image
bootefi \${kernel_addr_r} \${fdtcontroladdr}
EOF
    mkimage -A arm64 -T script -C none -d "$work/boot.cmd" "$dir/boot.scr" >/dev/null ||
        fail "mkimage could not make U-Boot's boot script"
}

# Fills the array qemu with the command line that boots the firmware on the store $1, the console
# going to $2 and the results to $3.
firmware_qemu() {
    local store=$1 console=$2 results=$3 cmdline
    cmdline="console=$(firmware_console) quiet panic=-1"
    case "$fw_arch" in
        x86_64)
            qemu=(qemu-system-x86_64 -machine "$fw_machine,accel=$accel" -m 512
                -serial "file:$console" -serial "file:$results") ;;
        aarch64)
            qemu=(qemu-system-aarch64 -machine "$fw_machine,accel=$accel" -cpu cortex-a57 -m 1024
                -serial "file:$console"
                -device virtio-serial-device -chardev "file,id=results,path=$results"
                -device "virtserialport,chardev=results,name=kmvm.results") ;;
    esac
    [ "$accel" != kvm ] || qemu+=(-cpu host)
    qemu+=(-smp "$cpus" -nodefaults -no-reboot -display none)
    [ "$fw_smm" -eq 0 ] || qemu+=(-global "driver=cfi.pflash01,property=secure,value=on")
    if [ "$fw_name" = u-boot ]; then
        uboot_boot_disk "$work/esp" "$cmdline"
        qemu+=(-bios "$fw_code" -drive "if=none,id=esp,format=raw,readonly=on,file=fat:$work/esp"
            -device "virtio-blk-device,drive=esp")
    else
        qemu+=(-drive "if=pflash,format=raw,unit=0,readonly=on,file=$fw_code"
            -drive "if=pflash,format=raw,unit=1,file=$store"
            -kernel "$kernel" -initrd "$work/initrd" -append "$cmdline")
    fi
}
