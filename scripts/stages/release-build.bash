# Sourced by the stages (not a stage itself): a release build (a preset's
# workflow) for a stage that reads it. scripts/run-steps.py makes each such
# build once, as a step of its own, and names the steps it has made in
# UPM_PREBUILT; building it again here would rewrite the archive under the
# stages reading it beside this one.
#
#   release_build PRESET
release_build() {
  [[ " ${UPM_PREBUILT:-} " == *" $1 "* ]] || cmake --workflow --preset "$1" > /dev/null
}
