#!/usr/bin/python3
"""Builds one of a Debian release's edk2 firmwares from source, as Debian's rules for that release
build it, optionally DEBUG and with patches of your own, into the cache; prints a firmware name
that --firmware takes (scripts/uefi-vm and every bench).

    bench/edk2-build --firmware RELEASE:NAME [--source DIR] [--debug] [--patch FILE]...

Without --source it fetches the release's edk2 source package (the version of the package that
holds NAME's descriptor) with apt-get source, from the archive this machine uses, through the same
private apt state as --firmware RELEASE:NAME, and applies Debian's patches (debian/patches/series).
With --source DIR it builds your own edk2 tree (an upstream checkout or a fork, with its
submodules; its files are copied, the tree is left as it is) with the release's debian/ beside it.
Then each --patch, in order. It builds only NAME: the build that Debian's debian/rules runs for
the file NAME's descriptor names (the platform, the architecture, the flags, the 4 MB layout),
with make on the rules themselves, so their variables and exports are Debian's; --debug gives
BUILD_TYPE=DEBUG and changes nothing else. A store that the rules make by booting the build (the
Secure Boot stores with enrolled keys) is the release's packaged one.

The result goes into the cache's edk2/builds/KEY/, with a descriptor (firmware.json) and the whole
build log; its path is the last line printed. KEY is made of the release, NAME, the source version
or the tree's commit and changes, the build type, the rules' build and each patch's sha256: the
same inputs are built once. The build dependencies this platform needs are installed as root with
apt-get, quietly, with one line that says which.

Exit status: 0 built (or found built); 125 refused, in one line on standard error: an unknown
release or name, a source the archive does not serve, a patch that does not apply (with the hunk),
a failed build (the end of its log above the line; the whole log kept)."""

import argparse
import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .. import firmware as firmwares
from .. import paths, provision, releases
from ..errors import FAILED, Failure, UsageParser
from ..quiet import log_file, quietly
from ..signals import check_signals

# What building edk2 needs on this machine, by the machine the firmware runs on: BaseTools (C,
# Python), the assembler, the ACPI compiler, and the rules' own tools (dpkg's make snippets,
# lsb_release for the vendor string); AArch64 adds the cross compiler the rules name.
BUILD_DEPENDS = {
    "x86_64": ("make", "gcc", "g++", "uuid-dev", "nasm", "acpica-tools", "python3", "dpkg-dev",
               "lsb-release", "patch", "xz-utils"),
    "aarch64": ("make", "gcc", "g++", "uuid-dev", "nasm", "acpica-tools", "python3", "dpkg-dev",
                "lsb-release", "patch", "xz-utils", "gcc-aarch64-linux-gnu"),
}
TARGET = "kestomandrel-edk2-build"  # the make target that runs the one build
MAKEFILE = f"{TARGET}.mk"  # the makefile that adds it to Debian's rules
BUILD_DIR_FILE = "kestomandrel-build-dir"  # where the build leaves its output directory's name
LOG_END = 15  # lines of a failed build's log shown


def note(text: str) -> None:
    os.write(2, f"edk2-build: {text}\n".encode())


def run_build(command: Sequence[str], cwd: Path, log: Path) -> int:
    """Runs one step of the build in CWD, its output appended to LOG; its status."""
    with open(log, "ab") as output:
        output.write(f"$ {' '.join(command)}\n".encode())
        output.flush()
        return subprocess.run(list(command), cwd=cwd, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT).returncode


# How the build's steps run: run_build, or a test's stand-in.
build: Callable[[Sequence[str], Path, Path], int] = run_build
# Whether a Debian package is installed: dpkg's answer, or a test's.
installed: Callable[[str], bool] = provision.dpkg_installed


# --- Reading Debian's rules ---------------------------------------------------------------------

@dataclass
class Build:
    """One `build` that debian/rules runs, and the files it copies out of it."""

    architecture: str  # build -a, each: "IA32 X64"
    platform: str  # build -p: the .dsc
    flags: str  # the rest, as the rules write it: $(OVMF_4M_NO_SECBOOT_FLAGS)
    prerequisites: str  # the rule's: debian/setup-build-stamp (BaseTools), ...
    build_dir: str = ""  # the make variable of its output directory: OVMF64_BUILD_DIR
    products: Dict[str, str] = field(default_factory=dict)  # installed name -> FV/ file


@dataclass
class Recipe:
    """How the rules make NAME's two files: the build, the code's and the store's file in its FV
    directory (None: the rules make the store otherwise), and the size each is padded to."""

    build: Build
    code: str
    store: Optional[str]
    padding: Dict[str, int]


# One or more -a: Debian 12's builds OvmfPkg3264.dsc with -a IA32 -a X64.
BUILD_LINE = re.compile(r"\bbuild\s+((?:-a\s+\S+\s+)+)-t\s+\S+\s+-p\s+(\S+)\s+(.*?)\s*"
                        r"-b\s+\$\(BUILD_TYPE\)")
COPY_LINE = re.compile(r"^cp\s+\$\((\w+_BUILD_DIR)\)/FV/(\S+)\s+\$\(\w+\)(?:/(\S+))?$")
TRUNCATE_LINE = re.compile(r"^truncate\s+-s\s+(\d+)([KMG]?)\s+\$\(\w+\)/(\S+)$")
RULE_LINE = re.compile(r"^([^\t#=:][^=:]*?):(?!=)\s*(.*)$")


def logical_lines(text: str) -> List[Tuple[bool, str]]:
    """The makefile's lines with their continuations joined: (a recipe line?, its text)."""
    joined = re.sub(r"\\\n\s*", " ", text)
    return [(line.startswith("\t"), line.strip()) for line in joined.splitlines()]


def read_rules(text: str) -> Tuple[List[Build], Dict[str, int]]:
    """Every build the rules run, in order, with the files each copies out; and the sizes the
    rules truncate installed files to."""
    builds: List[Build] = []
    padding: Dict[str, int] = {}
    prerequisites = ""
    for recipe, line in logical_lines(text):
        if not recipe:
            found = RULE_LINE.match(line)
            if found:
                prerequisites = found.group(2).split(";")[0].strip()
            continue
        found = BUILD_LINE.search(line)
        if found:
            architectures = " ".join(found.group(1).split()[1::2])
            builds.append(Build(architectures, found.group(2), found.group(3), prerequisites))
            continue
        found = COPY_LINE.match(line)
        if found and builds:
            build = builds[-1]
            build.build_dir = build.build_dir or found.group(1)
            build.products[found.group(3) or found.group(2)] = found.group(2)
            continue
        found = TRUNCATE_LINE.match(line)
        if found:
            unit = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[found.group(2)]
            padding[found.group(3)] = int(found.group(1)) * unit
    return builds, padding


def recipe(rules: str, code: str, store: str) -> Recipe:
    """How the rules make the files named CODE and STORE (a descriptor's, by their names)."""
    builds, padding = read_rules(rules)
    making = [build for build in builds if code in build.products]
    if not making:
        raise Failure(f"cannot tell from debian/rules how it makes {code} (no build whose FV "
                      "file it copies there)")
    chosen = making[-1]
    # A store the rules copy from a sibling build is the same template in this build's FV.
    sibling = next((build.products[store] for build in builds if store in build.products), None)
    return Recipe(chosen, chosen.products[code], sibling, padding)


# --- The source ---------------------------------------------------------------------------------

def source_state(release: str, uri: str, signed: str) -> Path:
    """A private apt state whose sources list has RELEASE's deb-src line."""
    state = paths.cache() / "edk2" / "apt" / release
    releases.prepare(state, uri, release, signed)
    (state / "release.sources").write_text(
        f"Types: deb-src\nURIs: {uri}\nSuites: {release}\nComponents: main\n"
        + (f"{signed}\n" if signed else ""))
    return state


def fetch_source(release: str, version: str) -> Path:
    """RELEASE's edk2 source package VERSION, downloaded once into the cache: the directory that
    holds its tarballs. The .dsc is not needed: apt checks the tarballs against the archive's
    Sources index, and they are unpacked as dpkg-source would."""
    where = paths.cache() / "edk2" / "sources" / f"edk2_{version}"
    if (where / "complete").exists():
        return where
    uri, signed = releases.archive()
    state = source_state(release, uri, signed)
    options = releases.apt_options(state)
    note(f"fetching {release}'s edk2 source {version} from {uri} (apt-get source; its output "
         f"in {log_file()})")
    status, output = releases.apt(["apt-get", *options, "update"], None)
    if status:
        releases.failed(output, f"apt-get update of {release}'s source lists")
    where.mkdir(parents=True, exist_ok=True)
    os.chmod(where, 0o777)  # apt's download user (_apt) fetches into it
    for part in ("--tar-only", "--diff-only"):
        status, output = releases.apt(["apt-get", *options, "source", "--download-only", part,
                                       f"edk2={version}"], where)
        if status and ("404" in output or "Unable to find a source package" in output
                       or "Can not find version" in output):
            raise Failure(f"{release}'s edk2 source {version} is not served by {uri} (apt-get "
                          f"source: {not_served(output)}; its output in {log_file()})")
        if status:
            releases.failed(output, f"apt-get source of {release}'s edk2 {version}")
    (where / "complete").write_text(version + "\n")
    return where


def not_served(output: str) -> str:
    """apt's first error, the file and the server's answer only: "edk2_V.orig.tar.xz: 404 Not
    Found"."""
    lines = [line.strip() for line in output.splitlines() if line.startswith("E:")]
    if not lines:
        return "failed"
    found = re.search(r"Failed to fetch \S*/([^/\s]+)\s+(\d{3})\s+([^\[]*)", lines[0])
    if found:
        name = found.group(1).replace("%2b", "+").replace("%2B", "+")
        return f"{name}: {found.group(2)} {found.group(3).strip()}"
    return lines[0].removeprefix("E: ")


def unpack_source(tarballs: Path, tree: Path, with_upstream: bool) -> None:
    """The orig tarball (WITH_UPSTREAM) into TREE, its top directory stripped, then the
    debian tarball's debian/ over it."""
    tree.mkdir(parents=True, exist_ok=True)
    origs = sorted(tarballs.glob("*.orig.tar.*"))
    debians = sorted(tarballs.glob("*.debian.tar.*"))
    if not debians or (with_upstream and not origs):
        raise Failure(f"{tarballs} lacks the source's tarballs")
    steps = ([["tar", "-xf", str(origs[0]), "-C", str(tree), "--strip-components=1"]]
             if with_upstream else []) + [["tar", "-xf", str(debians[0]), "-C", str(tree)]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode:
            raise Failure(f"cannot unpack {step[2]}: {done.stderr.strip()}")


def series(tree: Path) -> List[Tuple[Path, str]]:
    """Debian's patches in order, with each one's strip level (quilt's series file)."""
    listed = tree / "debian" / "patches" / "series"
    if not listed.is_file():
        return []
    found = []
    for line in listed.read_text().splitlines():
        words = line.split("#")[0].split()
        if words:
            level = next((word for word in words[1:] if word.startswith("-p")), "-p1")
            found.append((tree / "debian" / "patches" / words[0], level))
    return found


def apply(tree: Path, patch: Path, level: str, what: str) -> None:
    """Applies PATCH to TREE, or refuses with the first hunk that does not apply."""
    command = ["patch", level, "--batch", "--forward", "--no-backup-if-mismatch", "-i",
               str(patch.resolve())]
    tried = subprocess.run([*command, "--dry-run"], cwd=tree, capture_output=True, text=True)
    if tried.returncode:
        raise Failure(f"{what} does not apply: {failed_hunk(tried.stdout + tried.stderr, patch)}")
    done = subprocess.run(command, cwd=tree, capture_output=True, text=True)
    if done.returncode:
        raise Failure(f"{what} does not apply: {done.stdout.strip().splitlines()[-1:]}")


def failed_hunk(said: str, patch: Path) -> str:
    """patch's words on the first hunk that failed, with the hunk's header from the patch."""
    target = None
    for line in said.splitlines():
        found = re.match(r"(?:patching|checking) file (.*)", line)
        if found:
            target = found.group(1).strip().strip("'")
            continue
        found = re.match(r"Hunk #(\d+) FAILED at (\d+)", line)
        if found and target:
            header = hunk_header(patch.read_text(errors="replace"), target, int(found.group(1)))
            return (f"hunk #{found.group(1)} of {target}"
                    + (f" ({header})" if header else "") + f" FAILED at line {found.group(2)}")
        if "can't find file to patch" in line or "No file to patch" in line:
            return f"no file to patch ({line.strip()})"
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    return lines[-1] if lines else "patch failed"


def hunk_header(text: str, target: str, number: int) -> Optional[str]:
    """The NUMBERth @@ line of TARGET's part of a unified diff."""
    current, count = None, 0
    for line in text.splitlines():
        if line.startswith("+++ "):
            name = line[4:].split("\t")[0].strip()
            current = name.split("/", 1)[1] if "/" in name else name
            count = 0
        elif line.startswith("@@") and current is not None and (current == target or
                                                                current.endswith(target)):
            count += 1
            if count == number:
                return line.strip()
    return None


def tree_state(source: Path) -> Tuple[str, List[str]]:
    """The commit of the user's edk2 tree (with a digest of its changes when it has any), and
    its files, submodules' included."""
    def git(*arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run(["git", "-C", str(source), *arguments], capture_output=True)

    head = git("rev-parse", "HEAD")
    if head.returncode:
        # git's first line: below a mount point it adds a second, on the discovery it stopped.
        said = (head.stderr.decode().strip().splitlines() or ["git rev-parse HEAD failed"])[0]
        raise Failure(f"--source {source}: not a git checkout of edk2 ({said})")
    commit = head.stdout.decode().strip()
    changes = git("diff", "HEAD", "--submodule=diff").stdout + git(
        "ls-files", "--others", "--exclude-standard", "-z").stdout
    if changes:
        commit += "+" + hashlib.sha256(changes).hexdigest()[:16]
    # git lists the submodules' files only with the tracked ones.
    listed = git("ls-files", "--recurse-submodules", "-z").stdout + b"\0" + git(
        "ls-files", "--others", "--exclude-standard", "-z").stdout
    files = [name for name in listed.decode().split("\0") if name]
    if not (source / "edksetup.sh").is_file():
        raise Failure(f"--source {source}: no edksetup.sh: not an edk2 tree")
    return commit, files


def copy_tree(source: Path, files: Sequence[str], tree: Path) -> None:
    for name in files:
        origin, target = source / name, tree / name
        if origin.is_symlink() or origin.is_file():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(origin, target, follow_symlinks=False)


# --- The build ----------------------------------------------------------------------------------

def sha256(path: Path) -> str:
    with open(path, "rb") as data:
        return hashlib.file_digest(data, "sha256").hexdigest()


def key(inputs: dict) -> str:
    return hashlib.sha256(json.dumps(inputs, sort_keys=True).encode()).hexdigest()[:20]


def makefile(chosen: Recipe) -> str:
    """Debian's rules, with one more target: the one build, which then writes its output
    directory's name. A makefile of its own, not make's --eval, which make would hand on to
    every make below it (BaseTools', the modules')."""
    build = chosen.build
    architectures = " ".join(f"-a {name}" for name in build.architecture.split())
    return (f"include debian/rules\n\n{TARGET}: {build.prerequisites}\n"
            f"\tset -e; . ./edksetup.sh; build {architectures} -t $(EDK2_TOOLCHAIN) "
            f"-p {build.platform} {build.flags} -b $(BUILD_TYPE) -n 1\n"
            f"\techo '$({build.build_dir})' > {BUILD_DIR_FILE}\n")


def make_command(debug: bool) -> List[str]:
    """make on that makefile; the build type from the environment, which the rules' ?= takes."""
    return ["env", f"BUILD_TYPE={'DEBUG' if debug else 'RELEASE'}", "make", "-f", MAKEFILE,
            TARGET]


def install_depends(machine_name: str) -> None:
    absent = [package for package in BUILD_DEPENDS[machine_name] if not installed(package)]
    if not absent:
        return
    if os.geteuid() != 0:
        raise Failure(f"building edk2 needs {' '.join(absent)}: run as root, which installs "
                      "them, or install them with apt-get")
    note(f"installing the build dependencies {' '.join(absent)} (apt-get; its output in "
         f"{log_file()})")
    command = ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "-o",
               "DPkg::Lock::Timeout=600", *absent]
    quietly([command], f"apt-get install {' '.join(absent)}")


def padded(path: Path, size: Optional[int]) -> None:
    if size is not None and path.stat().st_size < size:
        os.truncate(path, size)


def descriptor(release_firmware: firmwares.Firmware, code: Path, store: Path,
               description: str) -> dict:
    return {"description": description, "interface-types": ["uefi"],
            "mapping": {"device": "flash", "executable": {"filename": str(code), "format": "raw"},
                        "nvram-template": {"filename": str(store), "format": "raw"}},
            "targets": [{"architecture": release_firmware.architecture,
                         "machines": ["pc-q35-*" if release_firmware.machine_name == "x86_64"
                                      else "virt-*"]}],
            "features": list(release_firmware.features)}


@dataclass
class Request:
    release: str
    name: str
    source: Optional[Path]
    debug: bool
    patches: List[Path]


def build_firmware(request: Request) -> Path:
    """Builds REQUEST's firmware, or finds it built; its descriptor."""
    release, name = request.release, request.name
    if name == firmwares.UBOOT.name:
        raise Failure(f"{release}:{name}: U-Boot is not edk2")
    for patch in request.patches:
        if not patch.is_file():
            raise Failure(f"--patch {patch}: no such file")
    releases.fetch(release)
    chosen = releases.resolve(release, name)
    record = releases.recorded(release)
    package = chosen.version.split(" ")[0]
    version = record["versions"][package]
    commit, files = tree_state(request.source) if request.source else (None, [])
    tarballs = fetch_source(release, version)
    work = paths.cache() / "edk2" / "work"
    work.parent.mkdir(parents=True, exist_ok=True)
    # One build at a time in the cache's work tree: another waits for it.
    with open(work.parent / "work.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return build_in(request, chosen, version, commit, files, tarballs, work)


def build_in(request: Request, chosen: firmwares.Firmware, version: str, commit: Optional[str],
             files: Sequence[str], tarballs: Path, work: Path) -> Path:
    release, name = request.release, request.name
    shutil.rmtree(work, ignore_errors=True)
    # The rules first, to know the build; the whole source only when it is not built yet.
    unpack_source(tarballs, work / "debian-only", False)
    rules = (work / "debian-only" / "debian" / "rules").read_text()
    tree = work / "edk2"
    # The files the rules make: a descriptor may name a link to one (Debian 12's .ms.fd).
    code_name = Path(os.path.realpath(chosen.code)).name
    store_name = Path(os.path.realpath(chosen.factory)).name
    how = recipe(rules, code_name, store_name)
    inputs = {"release": release, "name": name, "source": commit or f"edk2 {version}",
              "rules": f"edk2 {version}", "type": "DEBUG" if request.debug else "RELEASE",
              "build": [how.build.architecture, how.build.platform, how.build.flags,
                        how.code, how.store],
              "patches": [sha256(patch) for patch in request.patches]}
    built = paths.cache() / "edk2" / "builds" / key(inputs)
    if (built / "firmware.json").is_file():
        shutil.rmtree(work, ignore_errors=True)
        note(f"{release}:{name} with these inputs is built already: {built}")
        return built / "firmware.json"
    unpack_source(tarballs, tree, request.source is None)
    if request.source is not None:
        note(f"copying {request.source} ({commit}) to build it")
        copy_tree(request.source, files, tree)
    else:
        for patch, level in series(tree):
            apply(tree, patch, level, f"Debian's patch {patch.name}")
    for patch in request.patches:
        apply(tree, patch, "-p1", f"--patch {patch}")
    install_depends(chosen.machine_name)
    shutil.rmtree(built, ignore_errors=True)
    built.mkdir(parents=True)
    (built / "inputs.json").write_text(json.dumps(inputs, indent=4) + "\n")
    log = built / "build.log"
    summary = (f"{inputs['type']} from {inputs['source']}"
               + (" with " + ", ".join(patch.name for patch in request.patches)
                  if request.patches else "") + f" ({how.build.platform}, {how.build.flags})")
    described = f"{release}:{name} built {summary}"
    note(f"building {release}:{name} {summary} (a quarter of an hour or more; its log in "
         f"{log})")
    started = time.monotonic()
    (tree / MAKEFILE).write_text(makefile(how))
    status = build(make_command(request.debug), tree, log)
    check_signals()
    if status:
        shutil.rmtree(work, ignore_errors=True)
        lines = log.read_text(errors="replace").splitlines()
        sys.stderr.write("".join(f"  {line}\n" for line in lines[-LOG_END:]))
        last = next((line.strip() for line in reversed(lines) if line.strip()), "")
        raise Failure(f"building {release}:{name} failed (status {status}): {last[:200]} (the "
                      f"whole log in {log})")
    output = tree / (tree / BUILD_DIR_FILE).read_text().strip() / "FV"
    code = built / code_name
    shutil.copyfile(output / how.code, code)
    store = built / store_name
    if how.store is not None:
        shutil.copyfile(output / how.store, store)
    else:
        # Made by booting the build with its shell and EnrollDefaultKeys.efi: the release's own.
        shutil.copyfile(chosen.factory, store)
        described += f"; its store {store_name} is {release}'s packaged one"
    padded(code, how.padding.get(code_name))
    padded(store, how.padding.get(store_name))
    (built / "firmware.json").write_text(json.dumps(
        descriptor(chosen, code, store, described), indent=4) + "\n")
    (built / "seconds").write_text(f"{time.monotonic() - started:.0f}\n")
    shutil.rmtree(work, ignore_errors=True)
    note(f"built in {time.monotonic() - started:.0f} s: {built}")
    return built / "firmware.json"


# --- The command line ---------------------------------------------------------------------------

def parser() -> argparse.ArgumentParser:
    usage = "%(prog)s --firmware RELEASE:NAME [--source DIR] [--debug] [--patch FILE]..."
    made = UsageParser(prog=paths.program("bench/edk2-build", "kestomandrel-edk2-build"),
                       usage=usage, name="edk2-build", description=__doc__.split("\n\n")[0],
                       epilog="\n\n".join(__doc__.split("\n\n")[2:]),
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    made.add_argument("--firmware", required=True, metavar="RELEASE:NAME",
                      help="the firmware to build: a release's short name (trixie:ovmf, "
                           "trixie:ovmf-secure, trixie:aavmf) or descriptor stem, as "
                           "scripts/uefi-vm --firmware takes it")
    made.add_argument("--source", type=Path, metavar="DIR",
                      help="build this edk2 tree (a git checkout with its submodules) instead "
                           "of the release's source package")
    made.add_argument("--debug", action="store_true",
                      help="a DEBUG build (BUILD_TYPE=DEBUG): its messages and ASSERTs on the "
                           "debug console")
    made.add_argument("--patch", type=Path, action="append", default=[], metavar="FILE",
                      help="apply this patch (-p1, as git format-patch makes them) after "
                           "Debian's; repeatable, applied in order")
    return made


def main(argv: List[str]) -> int:
    try:
        options = parser().parse_args(argv)
        split = releases.split(options.firmware)
        if split is None or not split[1]:
            raise Failure(f"--firmware {options.firmware}: give RELEASE:NAME (trixie:ovmf)")
        if options.source is not None and not options.source.is_dir():
            raise Failure(f"--source {options.source}: no such directory")
        built = build_firmware(Request(*split, options.source, options.debug, options.patch))
    except releases.NotFetched as absent:
        print(f"edk2-build: {absent}", file=sys.stderr)
        return FAILED
    except Failure as failure:
        print(f"edk2-build: {failure}", file=sys.stderr)
        return FAILED
    print(built)
    return 0


def entry() -> None:
    sys.exit(main(sys.argv[1:]))


if __name__ == "__main__":
    entry()
