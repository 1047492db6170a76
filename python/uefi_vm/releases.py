"""The firmware of another Debian release, as --firmware RELEASE:NAME names it (trixie:ovmf).

--install fetches the release's edk2 packages with apt-get from the archive this machine already
uses, with the suite changed, through a private sources list, package lists and cache: the
machine's sources, lists and installed packages stay as they are. The packages are unpacked (never
installed) into the cache, paths.cache()/releases/RELEASE, with a descriptor for each firmware
they ship, its files' paths pointing there; QEMU's own descriptor directories are never written,
so what libvirt picks does not change. The fetch follows the packages' dependencies on packages
built from the same source (forky's ovmf is an empty package that depends on ovmf-generic, which
holds the files), leaving out those the release lacks. A short name stands for the release's
descriptor with the features of the one it stands for here."""

from __future__ import annotations

import fcntl
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
from dataclasses import replace
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from . import firmware as firmwares
from . import paths
from .errors import Failure
from .quiet import LOG_TAIL, log_file, note

# The firmware, and the UEFI Shell as an application, for firmware without one built in (--shell).
PACKAGES = ("ovmf", "ovmf-ia32", "qemu-efi-aarch64", "efi-shell-x64", "efi-shell-aa64")
DESCRIPTORS = "usr/share/qemu/firmware"  # where a package ships its descriptors
# packages.json's: 2 follows the dependencies and names the package of each file; 3 has the Shell.
FORMAT = 3
RELEASE = re.compile(r"[a-z][a-z0-9-]*")
# How apt-get says the archive has no such suite, and a release has no such package.
NO_SUITE = "does not have a Release file"
NOT_THERE = ("Unable to locate package", "was not found")


class NotFetched(Failure):
    """A release whose firmware is not in the cache yet: --install fetches it."""

    def __init__(self, message: str, release: str):
        super().__init__(message)
        self.release = release


def run_apt(command: Sequence[str], cwd: Optional[Path] = None) -> Tuple[int, str]:
    """Runs one apt command, its output appended to the log; its status and output."""
    log = log_file()
    log.parent.mkdir(parents=True, exist_ok=True)
    done = subprocess.run(list(command), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, cwd=cwd, text=True,
                          env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    with open(log, "a") as output:
        output.write(f"$ {' '.join(command)}\n{done.stdout}")
    return done.returncode, done.stdout


# How apt commands run: run_apt, or a test's stand-in.
apt: Callable[[Sequence[str], Optional[Path]], Tuple[int, str]] = run_apt


def host_release() -> str:
    return platform.freedesktop_os_release().get("VERSION_CODENAME", "")


def split(name: str) -> Optional[Tuple[str, str]]:
    """RELEASE and NAME of a "RELEASE:NAME"; None for every other firmware name."""
    release, colon, rest = name.partition(":")
    if "/" in name or not colon or not RELEASE.fullmatch(release):
        return None
    return release, rest


def root(release: str) -> Path:
    return paths.cache() / "releases" / release


# --- The archive, and apt's private state --------------------------------------------------------

def archive() -> Tuple[str, str]:
    """The URI of the archive the machine takes its own release from, and the Signed-By field of
    its source (or "")."""
    own = host_release()
    status, output = apt(["apt-get", "indextargets", "--format",
                          "$(REPO_URI) $(RELEASE) $(SOURCESENTRY)", "Created-By: Packages"], None)
    entries = [line.split() for line in output.splitlines() if len(line.split()) == 3]
    chosen = [entry for entry in entries if entry[1] == own]
    if status or not chosen:
        raise Failure(f"no archive for this machine's release ({own or 'unknown'}) in apt's "
                      "sources: cannot fetch another release's firmware")
    uri, _, entry = chosen[0]
    return uri, signed_by(entry)


def signed_by(entry: str) -> str:
    """The Signed-By field of apt's source ENTRY ("FILE:N": stanza N of a .sources file, line N
    of a .list file), as a .sources stanza gives it; "" without one."""
    file_name, _, number = entry.rpartition(":")
    try:
        text = Path(file_name).read_text()
    except OSError:
        return ""
    if not file_name.endswith(".sources"):
        lines = text.splitlines()
        line = lines[int(number) - 1] if number.isdigit() and int(number) <= len(lines) else ""
        found = re.search(r"signed-by=([^\s\]]+)", line)
        return f"Signed-By: {found.group(1)}" if found else ""
    stanzas = [[line for line in block.splitlines() if not line.startswith("#")]
               for block in re.split(r"\n\s*\n", text)]
    stanzas = [stanza for stanza in stanzas if any(line.strip() for line in stanza)]
    if not number.isdigit() or not 0 < int(number) <= len(stanzas):
        return ""
    field: List[str] = []
    for line in stanzas[int(number) - 1]:
        if line.lower().startswith("signed-by:"):
            field = [line]
        elif field and line[:1] in (" ", "\t"):
            field.append(line)
        elif field:
            break
    return "\n".join(field)


def sources(uri: str, release: str, signed: str) -> str:
    """The private sources list: RELEASE's main component, its Packages index only."""
    return (f"Types: deb\nURIs: {uri}\nSuites: {release}\nComponents: main\n"
            f"Architectures: {native()}\nTargets: Packages\n" + (f"{signed}\n" if signed else ""))


def native() -> str:
    found = shutil.which("dpkg")
    if found:
        done = subprocess.run([found, "--print-architecture"], capture_output=True, text=True)
        if done.returncode == 0 and done.stdout.strip():
            return done.stdout.strip()
    return "amd64"


# The machine's hooks on an update (e.g. a refresh of its AppStream cache) stay out of a private
# one.
PRIVATE_CONFIG = ("#clear APT::Update::Pre-Invoke;\n#clear APT::Update::Post-Invoke;\n"
                  "#clear APT::Update::Post-Invoke-Success;\n")


def apt_options(state: Path) -> List[str]:
    """apt's options for a private sources list, package lists and cache under STATE; the
    machine's dpkg status is only read."""
    return ["-c", str(state / "apt.conf"),
            "-o", f"Dir::Etc::sourcelist={state / 'release.sources'}",
            "-o", "Dir::Etc::sourceparts=/nonexistent",
            "-o", f"Dir::State::Lists={state / 'lists'}",
            "-o", f"Dir::Cache={state / 'cache'}"]


def prepare(state: Path, uri: str, release: str, signed: str) -> None:
    for directory in ("lists/partial", "cache/archives/partial"):
        (state / directory).mkdir(parents=True, exist_ok=True)
    (state / "apt.conf").write_text(PRIVATE_CONFIG)
    (state / "release.sources").write_text(sources(uri, release, signed))


# --- Fetching -----------------------------------------------------------------------------------

def fetch(release: str) -> None:
    """Fetches RELEASE's firmware packages into the cache, once: runs started side by side wait
    for the one that fetches."""
    target = root(release)
    target.parent.mkdir(parents=True, exist_ok=True)
    with open(target.parent / f"{release}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not current(release):
            staging = target.parent / f".{release}.new"
            try:
                _fetch(release, target, staging)
            finally:
                shutil.rmtree(staging, ignore_errors=True)


def _fetch(release: str, target: Path, staging: Path) -> None:
    uri, signed = archive()
    shutil.rmtree(staging, ignore_errors=True)
    state, debs = staging / "apt", staging / "debs"
    prepare(state, uri, release, signed)
    debs.mkdir()
    # apt's download user (_apt) fetches into the directory it runs in.
    os.chmod(debs, 0o777)
    note(f"fetching {release}'s firmware packages ({', '.join(PACKAGES)}) from {uri} into "
         f"{target} (apt-get; its output in {log_file()})")
    options = apt_options(state)
    status, output = apt(["apt-get", *options, "update"], None)
    if status and NO_SUITE in output:
        raise Failure(f"unknown release: {release} (the archive {uri} has no suite {release})")
    if status:
        failed(output, f"apt-get update of {release}'s package lists")
    found = download(options, release, debs)
    if not found:
        raise Failure(f"{release} has none of the firmware packages {', '.join(PACKAGES)}")
    unpack(found, staging, target)
    shutil.rmtree(state)
    shutil.rmtree(debs)
    shutil.rmtree(target, ignore_errors=True)
    staging.rename(target)


def download(options: Sequence[str], release: str, debs: Path) -> List[Path]:
    """Downloads PACKAGES of RELEASE into DEBS, and the packages they depend on that are built
    from the same source, leaving out those the release lacks; the .debs downloaded."""
    wanted, seen, found = list(PACKAGES), set(PACKAGES), []
    sources: Dict[str, str] = {}  # the source each package named came from, for its dependencies
    while wanted:
        package = wanted.pop(0)
        before = set(debs.glob("*.deb"))
        status, output = apt(["apt-get", *options, "download", f"{package}/{release}"], debs)
        if status and not any(words in output for words in NOT_THERE):
            failed(output, f"apt-get download of {release}'s {package}")
        for deb in sorted(set(debs.glob("*.deb")) - before):
            fields = control(deb)
            source = fields.get("Source", "").split(" ")[0] or fields.get("Package", "")
            if sources.get(package, source) != source:
                deb.unlink()  # a dependency from elsewhere (a library): not firmware
                continue
            found.append(deb)
            for name in depends(fields.get("Depends", "")):
                if name not in seen:
                    seen.add(name)
                    sources[name] = source
                    wanted.append(name)
    return found


def control(deb: Path) -> Dict[str, str]:
    """The fields of a .deb's control file that say what it is and what it depends on."""
    done = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Version", "Source",
                           "Depends"], capture_output=True, text=True)
    if done.returncode:
        raise Failure(f"cannot read {deb}: {done.stderr.strip()}")
    return dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)


def depends(field: str) -> List[str]:
    """The packages a Depends field names: the first of each group of alternatives, without
    versions or architectures."""
    names = []
    for group in field.split(","):
        name = re.split(r"[\s(:\[]", group.split("|")[0].strip(), maxsplit=1)[0]
        if name:
            names.append(name)
    return names


def failed(output: str, what: str) -> None:
    sys.stderr.write("".join(f"  {line}\n" for line in output.splitlines()[-LOG_TAIL:]))
    raise Failure(f"{what} failed (its output in {log_file()})")


def unpack(debs: Sequence[Path], staging: Path, target: Path) -> None:
    """Unpacks DEBS into STAGING/root and writes STAGING/firmware/STEM.json for each descriptor
    they ship, with the files' paths in TARGET/root, where STAGING goes; then packages.json, the
    packages' versions, the package of each descriptor and the package of each file."""
    tree, written = staging / "root", staging / "firmware"
    written.mkdir(parents=True)
    versions: Dict[str, str] = {}
    shipped: Dict[str, str] = {}
    files: Dict[str, str] = {}
    for deb in debs:
        info = control(deb)
        before = set((tree / DESCRIPTORS).glob("*.json"))
        if subprocess.run(["dpkg-deb", "-x", str(deb), str(tree)]).returncode:
            raise Failure(f"cannot unpack {deb}")
        versions[info["Package"]] = info["Version"]
        for descriptor in sorted(set((tree / DESCRIPTORS).glob("*.json")) - before):
            shipped[descriptor.stem] = info["Package"]
        files.update(dict.fromkeys(contents(deb), info["Package"]))
    keep_inside(tree)
    for stem in shipped:
        data = json.loads((tree / DESCRIPTORS / f"{stem}.json").read_text())
        for entry in data.get("mapping", {}).values():
            if isinstance(entry, dict) and "filename" in entry:
                entry["filename"] = in_tree(target / "root", entry["filename"])
        (written / f"{stem}.json").write_text(json.dumps(data, indent=4) + "\n")
    (staging / "packages.json").write_text(json.dumps(
        {"format": FORMAT, "versions": versions, "descriptors": shipped, "files": files},
        indent=4) + "\n")


def contents(deb: Path) -> List[str]:
    """The files and links a .deb holds, as paths in the tree it unpacks into (usr/share/...)."""
    with subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)],
                          stdout=subprocess.PIPE) as tar:
        with tarfile.open(fileobj=tar.stdout, mode="r|") as members:
            listed = [os.path.normpath(member.name) for member in members if not member.isdir()]
    if tar.returncode:
        raise Failure(f"cannot list {deb}")
    return listed


def in_tree(tree: Path, filename: str) -> str:
    """A descriptor's file name (absolute, or relative to its directory) in the unpacked tree."""
    path = os.path.normpath(os.path.join("/" + DESCRIPTORS, filename))
    return str(tree / path.lstrip("/"))


def keep_inside(tree: Path) -> None:
    """Points the tree's absolute symbolic links into the tree, not at the machine's files."""
    for directory, subdirectories, files in os.walk(tree):
        for name in subdirectories + files:
            link = Path(directory, name)
            target = os.readlink(link) if link.is_symlink() else ""
            if target.startswith("/"):
                link.unlink()
                link.symlink_to(os.path.relpath(tree / target.lstrip("/"), directory))


# --- The fetched firmware -----------------------------------------------------------------------

def fetched() -> List[str]:
    base = paths.cache() / "releases"
    try:
        return sorted(entry.name for entry in base.iterdir()
                      if (entry / "packages.json").is_file())
    except OSError:
        return []


def current(release: str) -> bool:
    """Whether RELEASE's firmware is fetched, as this harness fetches it: a fetch of an older one
    (without the packages' dependencies, or the package of each file) is fetched again."""
    try:
        return recorded(release).get("format") == FORMAT
    except (OSError, ValueError):
        return False


def recorded(release: str) -> dict:
    return json.loads((root(release) / "packages.json").read_text())


def descriptors(release: str) -> Tuple[Dict[str, firmwares.Firmware], Dict[str, str]]:
    """RELEASE's firmwares by descriptor stem, each with its package and version; and those that
    cannot run here (a firmware in memory, as for confidential VMs), each with the reason."""
    record, found, others = recorded(release), {}, {}
    for stem, package in sorted(record["descriptors"].items()):
        try:
            chosen = firmwares.read(root(release) / "firmware" / f"{stem}.json",
                                    f"{release}:{stem}")
        except Failure as failure:
            # The reason, without the name and path the listing gives anyway.
            said = str(failure).split(".json ", 1)[-1]
            others[stem] = f"{said} ({package} {record['versions'][package]})"
            continue
        found[stem] = replace(chosen, release=release,
                              version=f"{package} {record['versions'][package]}")
    return found, others


def origin(release: str, path: str) -> str:
    """The package of RELEASE that PATH (in its unpacked tree) came from, and its version; ""
    for a file of no package of it."""
    record = recorded(release)
    relative = os.path.relpath(path, root(release) / "root")
    package = record.get("files", {}).get(relative)
    return f"{package} {record['versions'][package]}" if package else ""


def usable(chosen: firmwares.Firmware) -> bool:
    return all(os.path.isfile(path) for path in (chosen.code, chosen.factory) if path)


def short_names(found: Dict[str, firmwares.Firmware]) -> Dict[str, str]:
    """The stem each short name stands for among FOUND: one for its architecture with Secure Boot
    and enrolled keys as the descriptor it stands for here has them; of those, one whose files
    are there, then one with SMM as it has it, then this machine's stem."""
    chosen = {}
    for named in firmwares.NAMED:
        candidates = []
        for stem, firmware in found.items():
            differ = [(feature in firmware.features) != (feature in named.features)
                      for feature in firmwares.CHOSEN_BY]
            if firmware.architecture == named.architecture and not any(differ[:2]):
                candidates.append((not usable(firmware), differ[2], stem != named.descriptor,
                                   stem))
        if candidates:
            chosen[named.name] = min(candidates)[-1]
    return chosen


def resolve(release: str, name: str) -> firmwares.Firmware:
    """The firmware RELEASE:NAME stands for: a short name, or a descriptor's stem (or file name)
    as RELEASE ships it."""
    if not current(release):
        raise NotFetched(f"{release}:{name}: {release}'s firmware is not fetched yet (fetch it "
                         f"with: {paths.program('scripts/uefi-vm', 'kestomandrel-vm')} "
                         f"--firmware {release}:{name} --install ...)", release)
    found, _ = descriptors(release)
    short = short_names(found)
    stem = short.get(name) or name.removesuffix(".json")
    if stem not in found:
        raise Failure(f"{release}:{name}: {release}'s firmware has no {name} (one of "
                      f"{', '.join([*short, *found])})")
    summary = next((f"{release}: {named.summary}" for named in firmwares.NAMED
                    if named.name == name), found[stem].description)
    return replace(found[stem], name=f"{release}:{name}", summary=summary)


def rows() -> List[Tuple[str, str, str, Sequence[str], str]]:
    """--list-firmware's lines for every fetched release: name, architecture, whether the files
    are there, features, and the description with the descriptor and the package each of its
    files came from, with its version."""
    listed = []
    for release in fetched():
        try:
            found, others = descriptors(release)
        except (Failure, OSError, ValueError, KeyError) as error:
            listed.append((f"{release}:*", "?", "?", (), f"unreadable: {error}"))
            continue
        named = {stem: name for name, stem in short_names(found).items()}
        for stem, chosen in found.items():
            shown = resolve(release, named.get(stem, stem))
            text = f"{shown.summary} ({release}'s {stem}.json, {chosen.version}"
            packages = [(what, origin(release, path)) for what, path in
                        (("code", chosen.code), ("store", chosen.factory)) if path]
            if any(package != chosen.version for _, package in packages):
                text += "; " + ", ".join(f"{what} from {package or 'no package'}"
                                         for what, package in packages)
            listed.append((shown.name, chosen.architecture,
                           "there" if usable(chosen) else "missing", chosen.features, text + ")"))
        for stem, why in others.items():
            listed.append((f"{release}:{stem}", "-", "-", (), f"not for this harness: {why}"))
    return listed
