#!/bin/sh
# The UEFI virtual machine's first process (busybox sh), put into the initramfs by scripts/uefi-vm:
# an agent that takes its work from the host. It mounts efivarfs, says READY on its control port and
# then serves the host, one line at a time:
#   FILE SIZE MODE PATH   the next SIZE bytes on the port are the file PATH; answers OK or FAIL
#   RUN N                 the next line is command N for the shell: it runs in /work with its
#                         standard output and error streamed, as written, to ports of their own;
#                         answers END N STATUS OUT_BYTES ERR_BYTES once both streams are through
#   PING                  answers PONG (the host's check that a restored VM is alive)
# Signal names the host sends on the signal port (INT, TERM, HUP, PIPE) go to the command that runs.
# The host may save the VM while it waits for the host's first line, and start later runs from there.
PATH=/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in /lib/modules/*.ko; do
    [ -f "$module" ] && insmod "$module"
done

# The host's ports are known by their names; the driver adds them a moment after it loads. Read
# with the shell's own read and cut apart with its own expansions: a process forked in the VM
# costs several milliseconds.
ports() {
    for named in /sys/class/virtio-ports/*/name; do
        [ -f "$named" ] && read -r name <"$named" || continue
        device=${named%/name}
        device=/dev/${device##*/}
        case "$name" in
            kmvm.control) control=$device ;;
            kmvm.stdout) output=$device ;;
            kmvm.stderr) errors=$device ;;
            kmvm.signal) signals=$device ;;
        esac
    done
}
control='' output='' errors='' signals=''
for _ in $(seq 200); do
    ports
    [ -c "$control" ] && [ -c "$output" ] && [ -c "$errors" ] && [ -c "$signals" ] && break
    usleep 50000
done
if [ ! -c "$control" ]; then
    echo "KMVM: no control port" >/dev/console
    poweroff -f
fi
# A virtio port may be open only once: the agent holds each for its whole life, and the commands'
# streams reach them through its descriptors.
exec 3<>"$control" 4>"$output" 5>"$errors"

fail() {
    echo "FAIL $*" >&3
    while :; do sleep 60; done
}
if [ ! -c "$output" ] || [ ! -c "$errors" ] || [ ! -c "$signals" ]; then
    fail "the VM lacks one of its ports"
fi
[ -d /sys/firmware/efi ] || fail "the kernel did not boot through UEFI"
mount -t efivarfs efivarfs /sys/firmware/efi/efivars || fail "cannot mount efivarfs"
chmod 0777 /work /tmp

# Relays the host's signals to the running command's process group, as a terminal would. A signal
# that comes before the command has written its group waits for it; one that comes between commands
# is dropped.
(
    while read -r sig; do
        while [ -e /tmp/running ] && [ ! -s /tmp/pgid ]; do usleep 2000; done
        [ -s /tmp/pgid ] && kill -s "$sig" "-$(cat /tmp/pgid)" 2>/dev/null
    done
) <"$signals" &

# FILE SIZE MODE PATH: dd reads exactly SIZE bytes, never more, so the next line is the host's.
receive() {
    mkdir -p "$(dirname "$3")" &&
        dd bs=65536 count="$1" iflag=count_bytes,fullblock of="$3" <&3 2>/dev/null &&
        [ "$(wc -c <"$3")" -eq "$1" ] && chmod "$2" "$3"
}

# Runs one shell line with its streams through counters, so that END can say how many bytes of each
# the host must have received before the command is over for it.
run() {
    n=$1 line=$2
    rm -f /tmp/pgid /tmp/out* /tmp/err*
    mkfifo /tmp/out /tmp/err /tmp/out.count /tmp/err.count
    wc -c </tmp/out.count >/tmp/out.n &
    counters=$!
    wc -c </tmp/err.count >/tmp/err.n &
    counters="$counters $!"
    tee /tmp/out.count </tmp/out >&4 &
    counters="$counters $!"
    tee /tmp/err.count </tmp/err >&5 &
    counters="$counters $!"
    touch /tmp/running
    # A session of its own, in the foreground: the command starts with the default reaction to
    # every signal, as from an interactive shell (a background job would ignore INT and QUIT).
    (cd /work && exec setsid kmvm-run "$line") </dev/null >/tmp/out 9>/tmp/err 2>/dev/null
    status=$?
    rm -f /tmp/running /tmp/pgid
    # shellcheck disable=SC2086  # the four process ids
    wait $counters
    echo "END $n $status $(cat /tmp/out.n) $(cat /tmp/err.n)" >&3
}

echo "READY $(cut -d' ' -f1 /proc/uptime)" >&3
while read -r verb a b c <&3; do
    case "$verb" in
        FILE)
            if receive "$a" "$b" "$c"; then echo OK >&3; else echo "FAIL cannot write $c" >&3; fi ;;
        RUN)
            IFS= read -r line <&3
            run "$a" "$line" ;;
        PING) echo PONG >&3 ;;
    esac
done
poweroff -f
