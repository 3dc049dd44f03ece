#!/usr/bin/env python3
"""Packs a staged release folder into an archive (.zip or .tar.gz), with
its .sha256 beside it, after writing the bill of materials into the folder.

The same inputs give the same bytes on any machine and in any folder: entries
in name order, every entry dated from SOURCE_DATE_EPOCH (else the time of the
source tree's last commit), fixed permissions, no owner, no host names or
build paths, and a gzip header without time or file name.

  make_archive.py OUTPUT SOURCE_DIR STAGING [SBOM_DRAFT]

Every file in STAGING goes into the archive under its path there; a file
its owner may run is stored as a program (0755), any other as 0644, with
folders for every file's parents. SBOM_DRAFT (from stage_release.py) becomes
STAGING/sbom.cdx.json, dated like the entries and with the SHA-256 of every
file it names as it stands in STAGING now: run this after anything that
changes the staged files, such as signing.

A Linux archive (.tar.gz) takes no program that the system would have to
complete: every ELF file in STAGING must be linked statically (no
interpreter, no library asked for, no symbol version) and built for the
architecture that the bill of materials names.
"""
import gzip
import hashlib
import io
import json
import os
import struct
import subprocess
import sys
import tarfile
import time
import zipfile

# ZIP times cannot go further back.
ZIP_EARLIEST = 315532800  # 1980-01-01 00:00:00 UTC


def source_date_epoch(source_dir):
    value = os.environ.get("SOURCE_DATE_EPOCH", "")
    if value:
        return int(value)
    # The source's own repository only, not one that happens to hold it.
    # Only a time is read, so a checkout owned by another user (CI building
    # as root) may be read too.
    git = ["git", "-c", "safe.directory=*", "-C", source_dir]
    try:
        top = subprocess.run(git + ["rev-parse", "--show-toplevel"],
                             capture_output=True, text=True, check=True).stdout.strip()
        if os.path.realpath(top) == os.path.realpath(source_dir):
            stamp = subprocess.run(git + ["log", "-1", "--format=%ct"],
                                   capture_output=True, text=True, check=True).stdout.strip()
            return int(stamp)
    except (OSError, subprocess.CalledProcessError, ValueError):
        pass
    sys.exit(f"make_archive: {source_dir} is no git checkout; set SOURCE_DATE_EPOCH "
             "(seconds since 1970) to date the archive's entries")


SBOM_NAME = "sbom.cdx.json"


def staged_files(staging):
    """Archive name -> path of every file in the staging folder."""
    found = {}
    for top, folders, files in os.walk(staging):
        for file in files:
            path = os.path.join(top, file)
            found[os.path.relpath(path, staging).replace(os.sep, "/")] = path
    return found


def sha256_of(path):
    return hashlib.sha256(read(path)).hexdigest()


def write_sbom(draft, staging, epoch):
    """The draft, dated, with the hashes of the staged files it names."""
    with open(draft) as f:
        bom = json.load(f)
    files = staged_files(staging)
    bom["metadata"]["timestamp"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))
    for component in [bom["metadata"]["component"]] + bom["components"]:
        path = files.get(component["bom-ref"])
        if path is not None:
            component["hashes"] = [{"alg": "SHA-256", "content": sha256_of(path)}]
    with open(os.path.join(staging, SBOM_NAME), "w", newline="\n") as f:
        json.dump(bom, f, indent=2)
        f.write("\n")


# ELF e_machine (and, for ARM, hard floating point) -> Debian's name.
ELF_MACHINES = {62: "x86_64", 183: "arm64", 40: "armhf", 3: "i386"}
EF_ARM_ABI_FLOAT_HARD = 0x400
PT_DYNAMIC, PT_INTERP, PT_LOAD = 2, 3, 1
DT_NEEDED, DT_STRTAB, DT_VERNEED = 1, 5, 0x6FFFFFFE


def elf_faults(data, arch):
    """What keeps an ELF program from running alone on any Linux of arch."""
    wide = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    machine, = struct.unpack_from(order + "H", data, 18)
    flags, = struct.unpack_from(order + "I", data, 48 if wide else 36)
    name = ELF_MACHINES.get(machine, f"machine {machine}")
    if machine == 40 and not flags & EF_ARM_ABI_FLOAT_HARD:
        name = "armel"
    faults = [f"a program for {name}, not {arch}"] if arch and name != arch else []
    phoff, = struct.unpack_from(order + ("Q" if wide else "I"), data, 32 if wide else 28)
    size, count = struct.unpack_from(order + "HH", data, 54 if wide else 42)
    header = order + ("IIQQQQ" if wide else "IIIII")  # type, (flags,) offset, vaddr, paddr, filesz
    segments = []
    for i in range(count):
        fields = struct.unpack_from(header, data, phoff + i * size)
        kind, offset, vaddr, filesz = ((fields[0], fields[2], fields[3], fields[5]) if wide
                                       else (fields[0], fields[1], fields[2], fields[4]))
        segments.append((kind, offset, vaddr, filesz))
    for kind, offset, _, filesz in segments:
        if kind == PT_INTERP:
            faults.append("linked dynamically (interpreter %s)"
                          % data[offset:offset + filesz].rstrip(b"\0").decode(errors="replace"))
        if kind == PT_DYNAMIC:
            entry = order + ("qQ" if wide else "iI")
            tags = [struct.unpack_from(entry, data, at)
                    for at in range(offset, offset + filesz, struct.calcsize(entry))]
            strtab = next((value for tag, value in tags if tag == DT_STRTAB), 0)
            # The string table's address, as a place in the file.
            strings = next((strtab - vaddr + at for kind, at, vaddr, size in segments
                            if kind == PT_LOAD and vaddr <= strtab < vaddr + size), None)
            needed = [data[strings + value:data.index(b"\0", strings + value)].decode(errors="replace")
                      if strings is not None else "?" for tag, value in tags if tag == DT_NEEDED]
            if needed:
                faults.append("needs " + " ".join(needed))
            if any(tag == DT_VERNEED for tag, _ in tags):
                faults.append("asks for symbol versions")
    return faults


def refuse_unfit_programs(files, arch):
    """Stops the release on a Linux program that could not run alone."""
    for name, path in sorted(files.items()):
        data = read(path)
        if data[:4] == b"\x7fELF":
            faults = elf_faults(data, arch)
            if faults:
                sys.exit(f"make_archive: refused {name}: {', '.join(faults)}")


def draft_architecture(draft):
    with open(draft) as f:
        properties = json.load(f)["metadata"]["component"].get("properties", [])
    return next((p["value"] for p in properties if p["name"] == "upm:architecture"), None)


def entries(files):
    """(name, file or None for a folder, mode), folders included, in name order."""
    found = {}
    for name, path in files.items():
        program = os.stat(path).st_mode & 0o100
        found[name] = (path, 0o755 if program else 0o644)
        parts = name.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            found.setdefault("/".join(parts[:depth]) + "/", (None, 0o755))
    return [(name, path, mode) for name, (path, mode) in sorted(found.items())]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_zip(out, items, epoch):
    stamp = time.gmtime(max(epoch, ZIP_EARLIEST))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name, path, mode in items:
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3  # Unix, so that the permissions below count
            if path is None:
                info.external_attr = (0o040000 | mode) << 16 | 0x10  # MS-DOS folder flag
                archive.writestr(info, b"")
            else:
                info.external_attr = (0o100000 | mode) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, read(path))


def write_tar_gz(out, items, epoch):
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0) as packed:
        with tarfile.open(fileobj=packed, mode="w", format=tarfile.USTAR_FORMAT) as archive:
            for name, path, mode in items:
                info = tarfile.TarInfo(name.rstrip("/"))
                info.mtime, info.mode = epoch, mode
                info.uid = info.gid = 0
                info.uname = info.gname = ""
                if path is None:
                    info.type = tarfile.DIRTYPE
                    archive.addfile(info)
                else:
                    data = read(path)
                    info.size = len(data)
                    archive.addfile(info, io.BytesIO(data))


def main(argv):
    if len(argv) not in (4, 5):
        sys.exit(__doc__)
    output, source_dir, staging = argv[1], argv[2], argv[3]
    epoch = source_date_epoch(source_dir)
    if output.endswith(".tar.gz"):
        refuse_unfit_programs(staged_files(staging),
                              draft_architecture(argv[4]) if len(argv) == 5 else None)
    if len(argv) == 5:
        write_sbom(argv[4], staging, epoch)
    items = entries(staged_files(staging))
    out = io.BytesIO()
    if output.endswith(".zip"):
        write_zip(out, items, epoch)
    elif output.endswith(".tar.gz"):
        write_tar_gz(out, items, epoch)
    else:
        sys.exit(f"make_archive: {output}: neither .zip nor .tar.gz")
    data = out.getvalue()
    with open(output, "wb") as f:
        f.write(data)
    # The format of sha256sum, so that "sha256sum -c" checks a download.
    with open(output + ".sha256", "w", newline="\n") as f:
        f.write(f"{hashlib.sha256(data).hexdigest()}  {os.path.basename(output)}\n")


if __name__ == "__main__":
    main(sys.argv)
