"""Power cuts at every write of the variable store's flash, in the VM: does the firmware keep UEFI's
promise that a variable holds its old value or its new one after a power failure during
SetVariable(), and that no other variable suffers?

    bench/power-cut [--firmware F [--code FILE] [--factory FILE]] [--name V]
                    [--sweep [every|fields]] [--update N]
                    [--setup CMD]... [--write CMD] [--file PATH]... [--refine]
                    [--boot N] [--reclaim N] [--cuts N] [--torn MODES [--torn-points N]]
                    [--at-windows A.json] [--seed S] [--keep DIR] [--jobs N]
                    [--scheduler ADDRESS] [--plot FILE] [--tool PATH]
    bench/power-cut --compare A.json B.json

--firmware, --code and --factory are scripts/uefi-vm's: any edk2 firmware on flash, Debian's or
your own build.

scripts/uefi-vm --flash-log records every write and erase of the store's flash while the firmware
runs. Replaying the first k of them onto the store the run began with rebuilds the store exactly as
a power cut after write k leaves it; the bench boots each rebuilt store cold, reads V (default
SysPrepOrder) with the tool and lists every variable, and compares them with a control: the same
start store booted without a cut. Four kinds of cut (without any, --sweep):

  --sweep           every write of one update of V by the loop (/t V) on a fresh store: the
                    update with the most writes among those in the middle third of the run, or
                    the one that wrote counter N (--update N); "fields" boots a sample instead:
                    the first and the last point, and the middle write of each run of writes
                    to adjacent bytes of the same field
  --sweep --write CMD
                    every write of one tool command (/s NAME GUID ...) run once on the factory
                    store after the tool commands --setup CMD (in order), in one logged run; V is
                    the variable it sets, old or new null when V is absent; --file PATH sends a
                    data file the commands name by its base name
  --boot N          N points spread over the firmware's first boot on its factory store
  --reclaim N       N points over the reclaim that a boot on a nearly full store runs (the store
                    filled as bench/store-fill --prefill does, then the loop run to the refusal),
                    among them the points just before, inside and just after each run of erases
  --cuts N          N runs of the loop on a booted store, each cut (scripts/uefi-vm --cut-after)
                    at a random moment, then a boot: V must hold the last counter printed, or the
                    next one

Each point's outcome: old or new (V holds its value before or after the update, and every other
variable is as in the control), corrupt (V holds something else), lost (V is gone), brick (the
guest never became ready within 4 times the control's boot time plus 60 s, or its CPU made no
progress for 24 s, which scripts/uefi-vm judges (--stuck); the console says whether the firmware
took a CPU exception, and in which image, and "why" names the address the CPU was stuck at), or
collateral (V is right, but another variable was gained, lost or changed). A variable that the firmware changes at every boot
is found by booting the control twice; it is named ("varies") and left out of the comparison. Each
point that breaks the promise is booted a second time from the same store, to check.

--refine bisects between neighbouring sampled points (--sweep fields, --boot, --reclaim) whose
outcomes differ (a brick's diagnosis included) until they are one write apart: about log2(gap) + 1
boots a boundary. It cannot see a window that lies wholly between two points of the same outcome.

--torn MODES also cuts inside the writes of the points (--sweep, --boot, --reclaim) and, with
--refine, of each window's edges: the store is the first k-1 writes whole, then write k cut short
as NOR flash leaves a program or an erase ("all", or a comma list of modes, each with :N for N
variants): some, one or most of the bits a program clears, the first bytes of a write buffer
(first); an erase cut in its pre-program (preprog, zeros), in its pulses (rising), partly done
(part) or raising bits it never cleared (raise, a worst case). The bits come from SHA-256 of the
log up to write k, the kind, k, the mode, the variant and --seed: the same seed, the same stores.
A torn store equal to the store at k-1, at k or to another variant is not booted again (same_as);
a write that changes nothing is not torn. --torn-points N tears N writes of a kind at most, where
the outcome changes first.

Every rebuilt store is kept with --keep DIR as DIR/<kind>-<k>.fd (.fd.xz for the 64 MiB AArch64
stores), a torn one as DIR/<kind>-<k>-<mode>-<variant>.fd, which sorts before <kind>-<k>.fd; a point
that breaks the promise is kept anyway, in build/power-cut/ when --keep is not given, and the output
names the scripts/uefi-vm command that boots it (the run writes into the file, as the firmware does:
copy it first to keep it).

Progress goes to standard error. The last line of standard output is one JSON object: firmware,
variable, seed, and for each kind run ("sweep", "boot", "reclaim") its writes, the control's boot
seconds, varies, points [{k, offset, field, phase, outcome, read, collateral}] (k: the writes
applied; offset and field: what write k touched; phase: what it did, in words that hold for any
build, e.g. "new record V state added"), windows [{first, last, outcome, fields, bounds, boots,
phases}] (runs of one outcome), counts by outcome, and its boots, seconds, seconds_per_point; with
--torn, torn [{k, mode, variant, seed, op, outcome, neighbours, novel, field, phase, read,
collateral}] (op: the torn write as the log writes a program, or an erase's sector and the SHA-256
of what it left; neighbours: the outcomes at k-1 and k; novel: neither; worst_case: a mode no chip
is known to leave; same_as: the store booted already that it equals; between: whether a corrupt
value's bits lie between old and new) and torn_unchanged; "cuts" [{after, after_count, read,
outcome, collateral}] and their cuts_boots and cuts_seconds; "failed", the points that broke the
promise twice in a row; "unconfirmed", those that broke it once only; "reproducers".

--scheduler ADDRESS boots on the workers of a Dask cluster (see doc/power-cut.md, "On a cluster"):
each point then says where it ran ("where": host, qemu, kernel, code_sha256, worker).

Exit status: 0 when every point kept the promise, 1 when a point broke it (a finding about the
firmware), 125 when the bench itself failed (a usage error included, a point that killed every
worker it ran on, or workers that differ in QEMU or in the firmware's code).

Its modules: bench (the run's settings, progress and the factory store), boots (a boot in the VM
and the control), points (where the cuts fall), outcomes (a point booted and judged), windows
(refinement, windows and phases), sweep, write (the command --write sweeps), first_boot, reclaim
and cuts (the kinds), torn (the modes of a torn write) and torn_points (the torn cuts booted),
plot, seam (where the boots run: here or on a Dask cluster), and cli (the command line)."""

from .cli import entry, main

__all__ = ["entry", "main"]
