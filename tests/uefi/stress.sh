#!/bin/sh
# Runs inside the UEFI virtual machine (busybox sh): interrupts and races kestomandrel on a variable
# that efivarfs keeps immutable, and prints what it saw on one line for the integration test.
#   stress.sh signals NAME GUID TRIES    /s stopped by TERM, INT, HUP and QUIT in turn, at random
#                                        moments; after each, is the variable still immutable?
#   stress.sh loop NAME TRIES            /t NAME stopped by TERM, INT, HUP and QUIT in turn at a
#                                        random moment: ended by that signal, the flag back on?
#   stress.sh parallel NAME GUID WRITERS WRITES
#                                        WRITERS processes each writing WRITES times at once
#   stress.sh flag NAME GUID             exits with 0 when the variable is immutable
vars=/sys/firmware/efi/efivars

file_of() {
    guid=$(echo "$2" | tr -d '{}' | tr 'A-F' 'a-f')
    echo "$vars/$1-$guid"
}

# As root only the immutable flag stops a file from being opened for writing; opening it (for
# appending, writing nothing) calls no firmware service.
immutable() {
    [ -e "$1" ] && ! (true >>"$1") 2>/dev/null
}

# Runs "kestomandrel ARGS..." and sends it signal SIG after a pause of MIN plus a random part of
# SPREAD microseconds. The tool is exec'd in the foreground, so it has the default reaction to
# every signal, as under an interactive shell (a background job of a script would ignore INT and
# QUIT); the killer in the background knows its process id. Returns the tool's status.
stopped_run() {
    sig=$1 min=$2 spread=$3
    shift 3
    # shellcheck disable=SC3028  # busybox sh has RANDOM
    sh -c "(usleep $((min + RANDOM % spread)); kill -$sig \$\$) & exec kestomandrel \"\$@\"" \
        sh "$@" >/dev/null 2>&1
}

signals() {
    name=$1 guid=$2 tries=$3
    file=$(file_of "$name" "$guid")
    kestomandrel /s "$name" "$guid" 1 00 >/dev/null
    n=0 cleared=0 TERM=0 INT=0 HUP=0 QUIT=0
    while [ $n -lt "$tries" ]; do
        for sig in TERM INT HUP QUIT; do
            [ $n -lt "$tries" ] || break
            n=$((n + 1))
            stopped_run $sig 0 3000 /s "$name" "$guid" 1 "$(printf %x $((n % 256)))"
            status=$?
            # Counts, per signal, the tries that it ended (before, during or after the write).
            [ $status -le 128 ] || eval "$sig=\$(($sig + 1))"
            if ! immutable "$file"; then
                cleared=$((cleared + 1))
                # A variable made anew is immutable again, for the next try.
                kestomandrel /s "$name" "$guid" 0 >/dev/null
                kestomandrel /s "$name" "$guid" 1 00 >/dev/null
            fi
        done
    done
    wait
    echo "tries $n cleared $cleared TERM $TERM INT $INT HUP $HUP QUIT $QUIT"
}

loop() {
    name=$1 tries=$2
    file=$(file_of "$name" "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}")
    n=0 cleared=0 wrong=0
    while [ $n -lt "$tries" ]; do
        for stop in TERM:143 INT:130 HUP:129 QUIT:131; do
            [ $n -lt "$tries" ] || break
            n=$((n + 1))
            # The loop never ends by itself: the signal always lands, and must end it.
            stopped_run "${stop%:*}" 300000 700000 /t "$name"
            [ $? -eq "${stop#*:}" ] || wrong=$((wrong + 1))
            if ! immutable "$file"; then
                cleared=$((cleared + 1))
                kestomandrel /s "$name" "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}" 0 >/dev/null
                kestomandrel /s "$name" "{8BE4DF61-93CA-11D2-AA0D-00E098032B8C}" 4 0 0 0 0 >/dev/null
            fi
        done
    done
    wait
    echo "tries $n cleared $cleared wrong-status $wrong"
}

parallel() {
    name=$1 guid=$2 writers=$3 writes=$4
    file=$(file_of "$name" "$guid")
    kestomandrel /s "$name" "$guid" 1 00 >/dev/null
    w=0
    while [ $w -lt "$writers" ]; do
        w=$((w + 1))
        (
            i=0
            while [ $i -lt "$writes" ]; do
                i=$((i + 1))
                out=$(kestomandrel /s "$name" "$guid" 2 $w $i)
                case "$out" in
                    *"Set successfully"*) ;;
                    *) echo "${out##* }" ;;  # the error code
                esac
            done
        ) >/tmp/writer.$w &
    done
    wait
    failed=$(cat /tmp/writer.* | wc -l)
    flag="cleared"
    immutable "$file" && flag="set"
    echo "writes $((writers * writes)) failed $failed flag $flag codes $(cat /tmp/writer.* | tr '\n' ' ')"
}

flag() {
    immutable "$(file_of "$1" "$2")"
}

"$@"
