# Sourced by the stages (not a stage itself): a release archive is a
# complete kit. Its bill of materials is valid CycloneDX 1.6 (by the
# CycloneDX project's own strict validator) and gives the SHA-256 of every
# program as it stands in the archive, signed or not; its notices name every
# component the linker took for either program; both carry each of our
# patches (packaging/bossa/) that changes what went into the tool.
#
#   check_kit ARCHIVE BUILD PROGRAM TOOL   (BUILD: where the linker maps are)
#
# The caller defines fail MESSAGE, and runs from the repository's top.
kit_validator=build/cyclonedx/node_modules  # scripts/install-test-deps.sh installs it
kit_validator_present() { [ -d "$kit_validator/@cyclonedx/cyclonedx-library" ]; }

# A subshell, so that its own trap removes the unpacked copy however it
# ends, a failed check (fail exits) included.
check_kit() (  # ARCHIVE BUILD PROGRAM TOOL
  archive=$1 build=$2
  unpacked=$(mktemp -d)
  trap 'rm -rf "$unpacked"' EXIT
  case "$archive" in
    *.zip) unzip -q "$archive" -d "$unpacked" ;;
    *) tar -xzf "$archive" -C "$unpacked" ;;
  esac
  NODE_PATH=$kit_validator node -e '
    const { Validation, Spec } = require("@cyclonedx/cyclonedx-library");
    const text = require("fs").readFileSync(process.argv[1], "utf8");
    new Validation.JsonStrictValidator(Spec.Version.v1dot6).validate(text).then(errors => {
      if (errors !== null) { console.log(JSON.stringify(errors)); process.exit(1); }
    });' "$unpacked/sbom.cdx.json" || fail "$archive: sbom.cdx.json is no valid CycloneDX 1.6"
  # Every program's hash is the file's, and the notices name what the
  # linker took for each program (its map from this build).
  PYTHONDONTWRITEBYTECODE=1 python3 - "$unpacked" "$build" "$3" "$4" <<'PYTHON' || fail "$archive: see above"
import hashlib, json, os, sys
sys.path.insert(0, "packaging")
import stage_release
unpacked, build, program, tool = sys.argv[1:]
with open(os.path.join(unpacked, "sbom.cdx.json")) as f:
    bom = json.load(f)
hashes = {c["bom-ref"]: c.get("hashes", [{}])[0].get("content")
          for c in [bom["metadata"]["component"]] + bom["components"]}
notices = open(os.path.join(unpacked, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8").read()
bad = []
for name, link_map in ((program, "UpdateProgramManually.map"), (tool, "bossac.map")):
    with open(os.path.join(unpacked, name), "rb") as f:
        if hashes.get(name) != hashlib.sha256(f.read()).hexdigest():
            bad.append(f"the bill of materials has no or another SHA-256 for {name}")
    taken = stage_release.taken_components([(name, os.path.join(build, link_map))])
    for key, found in taken.items():
        title = stage_release.ABOUT[key][0]
        entry = notices.split(title + ", version " + found["version"], 1)[1:]
        if not entry or name not in entry[0].split("\n")[1]:
            bad.append(f"the notices lack {title} {found['version']} as linked into {name}")
        if not any(c["name"] == title for c in bom["components"]):
            bad.append(f"the bill of materials lacks {title}")
# The patches of the repository, verbatim, and only those the tool took.
patches = stage_release.tool_patches("packaging/bossa", os.path.join(build, "bossac.map"))
recorded = [(p["type"], p["diff"]["text"]["content"], [r["type"] for r in p["resolves"]])
            for c in bom["components"] if c["bom-ref"] == tool
            for p in c.get("pedigree", {}).get("patches", [])]
if recorded != [("unofficial", text, ["defect"]) for _, text, _, _ in patches]:
    bad.append(f"the bill of materials does not carry the patches {tool} was built with")
bad += [f"the notices do not name {name}" for name, *_ in patches if name not in notices]
for line in bad:
    print("FAIL", line)
sys.exit(1 if bad else 0)
PYTHON
  echo "ok   $archive: valid bill of materials, its hashes and the notices match"
)
