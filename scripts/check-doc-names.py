#!/usr/bin/env python3
"""What README.md and docs/ tell a reader to run or open exists: each path
into the repository's own folders (scripts/demo.sh, tests/e2e/e2e.py), each
CMake preset of a command (cmake --preset, cmake --build --preset,
cmake --workflow --preset, ctest --preset) of its kind in CMakePresets.json,
each build target (--target) in one of the given build folders, and each
suite step a command selects by name (-R). And no test preset passes on zero
tests: a build configured without its tests must not look like a pass.

    scripts/check-doc-names.py NATIVE_BUILD WINDOWS_BUILD

Prints each name that does not exist and exits 1 if there is one."""
import glob
import json
import os
import re
import subprocess
import sys

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
DOCS = ["README.md"] + sorted(glob.glob("docs/*"))
TOP_FOLDERS = sorted(d for d in os.listdir(".")
                     if os.path.isdir(d) and d not in ("build", ".git"))
PATH = re.compile(r"(?<![\w./~-])((?:%s)/[\w./*-]*)(.?)" % "|".join(map(re.escape, TOP_FOLDERS)))
PRESET = re.compile(r"\b(cmake|ctest)((?: --?[\w-]+)*?) --preset[= ]([^\s`'\")]+)")
TARGET = re.compile(r" --target ([^\s`'\")]+)")
STEP = re.compile(r"(?:test-all\.sh|ctest --preset suite)(?: -\S+ \S+)*? -R ([^\s`'\")]+)")


def placeholder(name):
    """NAME, NN-name, $preset, <name>: words standing for one, not names."""
    return re.search(r"\b[A-Z]{2,}\b|[$<{]", name) is not None


def preset_names():
    with open("CMakePresets.json", encoding="utf-8") as f:
        presets = json.load(f)
    return presets, {kind: {p["name"] for p in presets.get(kind + "Presets", [])}
                     for kind in ("configure", "build", "test", "workflow")}


def preset_kind(program, options):
    if program == "ctest":
        return "test"
    for kind in ("workflow", "build"):
        if "--" + kind in options.split():
            return kind
    return "configure"


def build_targets(folders):
    targets = set()
    for folder in folders:
        said = subprocess.run(["ninja", "-C", folder, "-t", "targets", "all"],
                              capture_output=True, text=True)
        if said.returncode != 0:
            sys.exit("check-doc-names: %s is no configured Ninja build: %s" % (folder, said.stderr.strip()))
        targets |= {line.split(":")[0] for line in said.stdout.splitlines()}
    return targets


def suite_steps():
    with open("tests/suite/CMakeLists.txt", encoding="utf-8") as f:
        return set(re.findall(r"^upm_(?:step|stage)\(([\w-]+)", f.read(), re.M))


def missing_names(doc, presets, targets, steps):
    with open(doc, encoding="utf-8") as f:
        # A command may run on over a line break of the prose around it.
        text = f.read().replace("\n", " ")
    for path, after in PATH.findall(text):
        path = path.rstrip(".")
        # A file's stem names its pair: tests/fake_platform (.h and .cpp).
        if not (placeholder(path) or placeholder(after) or glob.glob(path) or glob.glob(path + ".*")):
            yield "%s: %s: no such file or folder" % (doc, path)
    for program, options, name in PRESET.findall(text):
        kind = preset_kind(program, options)
        if not placeholder(name) and name not in presets[kind]:
            yield "%s: %s%s --preset %s: no %s preset %s" % (doc, program, options, name, kind, name)
    for name in TARGET.findall(text):
        if not placeholder(name) and name not in targets:
            yield "%s: --target %s: no such target in the builds" % (doc, name)
    for name in STEP.findall(text):
        if re.fullmatch(r"[\w-]+", name) and not placeholder(name) and name not in steps:
            yield "%s: -R %s: no such step of the suite" % (doc, name)


def passing_on_no_tests(presets):
    for preset in presets.get("testPresets", []):
        if preset.get("execution", {}).get("noTestsAction") != "error":
            yield 'CMakePresets.json: test preset %s: no "noTestsAction": "error"' % preset["name"]


if len(sys.argv) != 3:
    sys.exit(__doc__.split("\n\n")[1])
presets, names = preset_names()
targets = build_targets(sys.argv[1:])
steps = suite_steps()
missing = [m for doc in DOCS for m in missing_names(doc, names, targets, steps)]
missing += passing_on_no_tests(presets)
print("\n".join(missing) or "The names README.md and docs/ use exist; no test preset passes on zero tests.")
sys.exit(1 if missing else 0)
