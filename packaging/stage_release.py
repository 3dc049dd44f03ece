#!/usr/bin/env python3
"""Lays out every file of a release archive in STAGING, as the archive's tree.

  stage_release.py STAGING SBOM_DRAFT --newlines crlf|lf
                   --tool NAME --tool-source SOURCE_NOTE --tool-license LICENSE
                   --tool-patches FOLDER
                   --version VERSION [--arch ARCH] [--map NAME=LINK_MAP ...] NAME=FILE ...

NAME=FILE: a file to copy to STAGING/NAME; a NAME ending in '*' (the mark is
dropped) is a program (0755). --map names a program's linker map: the
third-party components the linker took for it are looked up in COMPONENTS,
and a file the linker took that no row covers stops the release. Writes
THIRD-PARTY-NOTICES.txt and the tool's licence (beside NAME of --tool) into
STAGING, and SBOM_DRAFT (outside it): the bill of materials without the
files' hashes, which make_archive.py adds from the files as they are packed.
The patches of ours applied to the tool's source (--tool-patches: the
*.patch files as applied, each with a Debian-style header whose
Description says what it mends) are named in the notices and recorded in
the bill of materials, for the tool whose link took a file they change.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import urllib.parse

# What a file the linker took belongs to. Path patterns, first match wins;
# None: not shipped (the system's shared libraries) or our own objects.
COMPONENTS = [
    (r"\.so(\.[0-9]+)*$", None),
    (r"^[^/]", None),  # relative to the build folder: this project and the tool's source
    (r"/libstdc\+\+\.a$|/libsupc\+\+\.a$", "libstdc++"),
    (r"/gcc(-cross)?/.*/(libgcc(_eh)?\.a|crt(begin|end)[ST]?\.o)$", "libgcc"),
    (r"/x86_64-w64-mingw32/lib/lib(win)?pthread\.a$", "winpthreads"),
    (r"/x86_64-w64-mingw32/lib/", "mingw-w64-crt"),
    # The C library, linked in whole by the static Linux programs: Debian's
    # own (libc6-dev) or its cross packages' (libc6-dev-<arch>-cross).
    (r"^/usr/(lib/)?[a-z0-9_]+-linux-gnu[a-z]*/(lib/)?([a-zA-Z]?crt[1in]\.o|lib[a-z_]+\.a)$", "glibc"),
]
# Name and licence of each component; version, package and licence text
# come from the installed Debian package that holds the file.
ABOUT = {
    "libstdc++": ("GNU C++ library (libstdc++)", {"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}),
    "libgcc": ("GCC low-level runtime library (libgcc)",
               {"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}),
    "winpthreads": ("MinGW-w64 winpthreads", {"expression": "MIT AND BSD-3-Clause"}),
    "mingw-w64-crt": ("MinGW-w64 runtime (C runtime start-up and import libraries)",
                      {"expression": "ZPL-2.1 AND BSD-3-Clause AND BSD-2-Clause AND ISC"}),
    "glibc": ("GNU C Library (glibc)", {"expression": "LGPL-2.1-or-later"}),
}
# What the C library's licence asks of a program linked with it statically.
RELINK_NOTE = [
    "  Linked statically: the LGPL lets you change the C library and link these",
    "  programs with your version. The source of this release builds them",
    "  again, from their own objects, with the C library you give the build",
    "  (docs/releases.md, \"Linking the programs again\"). The C library's exact",
    "  source is Debian's source package {source}.",
]
# Licence texts that Debian's copyright file of a component only points to.
FULL_TEXTS = {"glibc": ["/usr/share/common-licenses/LGPL-2.1"]}
TOOL_LICENSE_ID = "BSD-3-Clause"


def linked_files(link_map):
    """Object files the map loads and archives it took members from."""
    with open(link_map, encoding="utf-8", errors="replace") as f:
        text = f.read()
    taken = set(re.findall(r"^(\S+?\.a)\(", text.split("\nMemory Configuration")[0], re.M))
    taken.update(p for p in re.findall(r"^LOAD (\S+)", text, re.M) if not p.endswith(".a"))
    return {os.path.normpath(p) if p.startswith("/") else p for p in taken}


def component_of(path):
    for pattern, key in COMPONENTS:
        if re.search(pattern, path):
            return key
    sys.exit(f"stage_release: the linker took {path}, which no component in "
             "packaging/stage_release.py covers: add it with its licence")


def debian_package(path):
    """(package, version, architecture) of the installed package holding path."""
    owner = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True)
    if owner.returncode != 0:
        sys.exit(f"stage_release: no installed Debian package holds {path}")
    package = owner.stdout.split(":")[0].strip()
    fields = subprocess.run(["dpkg-query", "-W", "-f",
                             "${Version} ${Architecture} ${source:Package} ${source:Version}",
                             package], capture_output=True, text=True, check=True).stdout.split()
    return package, fields[0], fields[1], f"{fields[2]} {fields[3]}"


def taken_components(maps):
    """key -> {package, version, arch, programs} for every component taken."""
    found = {}
    for program, link_map in maps:
        for path in sorted(linked_files(link_map)):
            key = component_of(path)
            if key is None:
                continue
            if key not in found:
                package, version, arch, source = debian_package(path)
                found[key] = {"package": package, "version": version, "arch": arch,
                              "source": source, "programs": []}
            if program not in found[key]["programs"]:
                found[key]["programs"].append(program)
    return found


def patch_header(name, text):
    """(summary, explanation) from the patch's Debian-style Description field:
    its first line, then the indented lines below it, " ." between paragraphs."""
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("Description:")), None)
    if start is None:
        sys.exit(f"stage_release: {name} has no Description: header saying what it mends")
    paragraphs = [[]]
    for line in lines[start + 1:]:
        if not line.startswith(" "):
            break
        if line.strip() == ".":
            paragraphs.append([])
        else:
            paragraphs[-1].append(line.strip())
    return (lines[start].partition(":")[2].strip(),
            "\n\n".join(" ".join(words) for words in paragraphs if words))


def tool_patches(folder, link_map):
    """[(file name, text, summary, explanation)] of the patches that change
    what went into the tool: a patch that changes only source files the link
    did not take (another system's) leaves the tool as upstream made it."""
    with open(link_map, encoding="utf-8", errors="replace") as f:
        taken = f.read()
    found = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            text = f.read()
        changed = re.findall(r"^\+\+\+ [^/\s]+/(\S+)", text, re.M)
        if not changed:
            sys.exit(f"stage_release: {name} changes no file")
        if any(not path.endswith(".cpp") or
               re.search(r"[/(]%s\.o(bj)?\b" % re.escape(os.path.basename(path)), taken)
               for path in changed):
            found.append((name, text) + patch_header(name, text))
    return found


def copyright_text(package):
    """The licence texts as Debian ships them with the package."""
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
        return f.read()


def patch_notice(patches):
    """How the tool differs from its source: each patch, what and why."""
    if not patches:
        return []
    out = ["  Modified: built with these patches of ours to its source (each one's",
           "  whole text is in sbom.cdx.json, under the tool's pedigree):"]
    for name, _, summary, explanation in patches:
        out += textwrap.wrap(f"{name}: {summary}", 78, initial_indent="  - ",
                             subsequent_indent="    ")
        for paragraph in explanation.split("\n\n"):
            out += [""] + textwrap.wrap(paragraph, 78, initial_indent="    ",
                                        subsequent_indent="    ")
    return out


def notices(found, tool, tool_version, tool_license, source_name, patches):
    rule = "=" * 78
    out = ["Third-party software in this archive", rule, "",
           f"bossac {tool_version} ({tool}), the flashing tool, built from {source_name}",
           f"  Licence: {TOOL_LICENSE_ID}, text below and beside the tool."]
    out += patch_notice(patches) + [""]
    for key in sorted(found):
        c = found[key]
        name, licence = ABOUT[key]
        out += [f"{name}, version {c['version']} (Debian package {c['package']})",
                f"  Linked into: {', '.join(c['programs'])}",
                f"  Licence: {licence['expression']}"]
        if key == "glibc":
            out += [line.format(source=c["source"]) for line in RELINK_NOTE]
        out += [""]
    out += [rule, f"bossac {tool_version}", rule, "", tool_license.rstrip("\n"), ""]
    # Debian ships one text under several packages (the C and C++ compilers'):
    # each text once, under every component it covers.
    texts = {}
    for key in sorted(found):
        text = copyright_text(found[key]["package"])
        for path in FULL_TEXTS.get(key, []):
            with open(path, encoding="utf-8") as f:
                text = text.rstrip("\n") + "\n\n" + rule + "\n" + path + "\n" + rule + "\n\n" + f.read()
        texts.setdefault(text, []).append(key)
    for text, keys in texts.items():
        packages = sorted({found[k]["package"] for k in keys})
        out += [rule, ", ".join(ABOUT[k][0] for k in keys),
                "  Debian's copyright file of " + ", ".join(packages), rule, "",
                text.rstrip("\n"), ""]
    return "\n".join(out)


def pedigree(patches):
    """The tool's patches as CycloneDX records them: each one's whole text,
    and the fault it mends from its header."""
    return {"patches": [{
        "type": "unofficial",
        "diff": {"text": {"contentType": "text/x-diff", "content": text}},
        "resolves": [{"type": "defect", "name": summary, "description": explanation}],
    } for _, text, summary, explanation in patches]}


def sbom_draft(found, options, program_name, tool_name, source_name, source_sha256, patches):
    refs = {key: f"runtime:{key}" for key in found}
    tool = {
        "type": "application", "bom-ref": tool_name, "name": "bossac",
        "version": options.tool_version,
        "description": f"The flashing tool, built from Debian's source package of bossa "
                       f"{options.tool_version}",
        "licenses": [{"license": {"id": TOOL_LICENSE_ID}}],
        "externalReferences": [{
            "type": "source-distribution", "url": source_name,
            "comment": "the upstream tarball in Debian's source package bossa",
            "hashes": [{"alg": "SHA-256", "content": source_sha256}]}],
    }
    if patches:
        tool["description"] += ", with patches of ours"
        tool["pedigree"] = pedigree(patches)
    runtime = []
    for key in sorted(found):
        c = found[key]
        name, licence = ABOUT[key]
        runtime.append({"type": "library", "bom-ref": refs[key], "name": name,
                        "version": c["version"], "licenses": [licence],
                        "purl": "pkg:deb/debian/%s@%s?arch=%s" % (
                            c["package"], urllib.parse.quote(c["version"], safe=""), c["arch"])})
    dependencies = [{"ref": program, "dependsOn": sorted(refs[k] for k in found
                                                         if program in found[k]["programs"])}
                    for program in (program_name, tool_name)]
    program = {"type": "application", "bom-ref": program_name, "name": options.name,
               "version": options.version}
    if options.arch:
        # Which machines the archive is for: the same names for three builds.
        program["properties"] = [{"name": "upm:architecture", "value": options.arch}]
    return {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {"component": program},
        "components": [tool] + runtime,
        "dependencies": dependencies + [{"ref": r, "dependsOn": []} for r in sorted(refs.values())],
    }


def write_text(path, text, newlines):
    with open(path, "w", encoding="utf-8", newline="\r\n" if newlines == "crlf" else "\n") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("staging")
    parser.add_argument("sbom_draft")
    parser.add_argument("--newlines", choices=["crlf", "lf"], required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--tool", required=True, help="the tool's NAME in the archive")
    parser.add_argument("--tool-version", required=True)
    parser.add_argument("--tool-source", required=True)
    parser.add_argument("--tool-license", required=True)
    parser.add_argument("--tool-patches", required=True, help="the patches applied to its source")
    parser.add_argument("--arch", help="the machines the programs are built for")
    parser.add_argument("--map", action="append", default=[])
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()

    # A fresh tree each time: nothing left from an earlier layout is packed.
    shutil.rmtree(options.staging, ignore_errors=True)
    programs = []
    for pair in options.files:
        name, _, path = pair.partition("=")
        target = os.path.join(options.staging, name.rstrip("*"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(path, target)
        os.chmod(target, 0o755 if name.endswith("*") else 0o644)
        if name.endswith("*"):
            programs.append(name.rstrip("*"))
    program_name = next(p for p in programs if p != options.tool)

    with open(options.tool_source) as f:
        source_name, source_sha256 = f.read().split()
    with open(options.tool_license, encoding="utf-8") as f:
        tool_license = f.read()
    write_text(os.path.join(options.staging, os.path.dirname(options.tool), "LICENSE.txt"),
               tool_license, options.newlines)
    maps = [tuple(m.split("=", 1)) for m in options.map]
    found = taken_components(maps)
    patches = tool_patches(options.tool_patches, dict(maps)[options.tool])
    write_text(os.path.join(options.staging, "THIRD-PARTY-NOTICES.txt"),
               notices(found, options.tool, options.tool_version, tool_license, source_name,
                       patches),
               options.newlines)
    with open(options.sbom_draft, "w", newline="\n") as f:
        json.dump(sbom_draft(found, options, program_name, options.tool, source_name,
                             source_sha256, patches), f, indent=2)
        f.write("\n")


if __name__ == "__main__":
    main()
