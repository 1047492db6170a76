#!/usr/bin/python3
"""A stand-in for QEMU and the agent in its guest, for testing scripts/uefi-vm's host side without
a VM: it connects the sockets its command line names, answers QMP, and serves the agent's protocol
with commands run on this host by sh, their output sent back as it is written.

    fake_qemu.py [--lie] [--die-on-run] [--exception] [--assert [--runs-on]] QEMU-ARGUMENTS...

--lie announces one byte fewer than a command wrote; --die-on-run exits as a command starts;
--exception is a firmware that reports a CPU exception on its console and never boots; --assert
one that fails an ASSERT on its debug console and then spins, or with --runs-on writes on and
boots."""

import json
import os
import signal
import socket
import subprocess
import sys
import threading

arguments = sys.argv[1:]
lie = "--lie" in arguments
die_on_run = "--die-on-run" in arguments
exception = "--exception" in arguments
asserts, runs_on = "--assert" in arguments, "--runs-on" in arguments
# QEMU starts the console's file afresh, before it connects its channels.
console = arguments[arguments.index("-serial") + 1].removeprefix("file:")
open(console, "w").close()
paths = {}
for at, word in enumerate(arguments):
    if word == "-chardev":
        options = dict(item.split("=", 1) for item in arguments[at + 1].split(",")[1:])
        paths[options["id"]] = options["path"]
ports = {}
for name in ("control", "stdout", "stderr", "signal", "qmp"):
    ports[name] = socket.socket(socket.AF_UNIX)
    ports[name].connect(paths[name])
running = {}  # the command that runs: its process group


def monitor():
    qmp = ports["qmp"].makefile("rwb")
    qmp.write(b'{"QMP": {}}\n')
    qmp.flush()
    for line in qmp:
        message = json.loads(line)
        reply = {"return": {}}
        if "id" in message:
            reply["id"] = message["id"]
        qmp.write(json.dumps(reply).encode() + b"\n")
        qmp.flush()
        if message["execute"] == "quit":
            os._exit(0)
    os._exit(0)


def relay_signals():
    for line in ports["signal"].makefile("rb"):
        if "pid" in running:
            os.killpg(running["pid"], getattr(signal, "SIG" + line.decode().strip()))


def forward(stream, port, counted, key):
    while data := os.read(stream.fileno(), 65536):
        ports[port].sendall(data)
        counted[key] += len(data)


threading.Thread(target=monitor, daemon=True).start()
threading.Thread(target=relay_signals, daemon=True).start()
control = ports["control"].makefile("rwb", buffering=0)
if exception:
    with open(console, "w") as text:
        text.write("!!!! X64 Exception Type - 0D(#GP - General Protection)  CPU Apic ID - 0 "
                   "!!!!\r\n!!!! Find image based on IP(0x1F66AB1B) (No PDB)  "
                   "(ImageBase=1F665000) !!!!\r\n")
    threading.Event().wait()
if asserts:
    with open(arguments[arguments.index("-debugcon") + 1].removeprefix("file:"), "w") as debug:
        debug.write("Loading driver VariableRuntimeDxe\nASSERT [VariableRuntimeDxe] /b/Variable"
                    "NonVolatile.c(105): !(((INTN)(RETURN_STATUS)(Status)) < 0)\n")
        debug.flush()
        for _ in range(20 if runs_on else 0):
            threading.Event().wait(0.1)
            debug.write("FtwDxe: still going\n")
            debug.flush()
    if not runs_on:
        threading.Event().wait()
control.write(b"PONG\n" if "-loadvm" in arguments else b"READY 0.1\n")
while line := control.readline():
    words = line.decode().split()
    if words[0] == "FILE":
        control.read(int(words[1]))
        control.write(b"OK\n")
    elif words[0] == "PING":
        control.write(b"PONG\n")
    elif words[0] == "RUN":
        command = control.readline().decode().rstrip("\n")
        if die_on_run:
            os._exit(3)
        child = subprocess.Popen(["sh", "-c", command], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, start_new_session=True)
        running["pid"] = child.pid
        counted = {"out": 0, "err": 0}
        forwarders = [threading.Thread(target=forward, args=(stream, port, counted, key))
                      for stream, port, key in ((child.stdout, "stdout", "out"),
                                                (child.stderr, "stderr", "err"))]
        for forwarder in forwarders:
            forwarder.start()
        status = child.wait()
        for forwarder in forwarders:
            forwarder.join()
        running.clear()
        status = 128 - status if status < 0 else status
        control.write(f"END {words[1]} {status} {counted['out'] - lie} {counted['err']}\n"
                      .encode())
