# Sourced by the stages (not a stage itself): a release build (a preset's
# workflow) for a stage that reads it. In the suite (tests/suite/) each
# such build is a test of its own, made once per run before the stages
# that read it, which UPM_PREBUILT names to them; building it again here
# would rewrite the archive under the stages reading it beside this one.
# Run by hand, a stage builds what it reads itself.
#
#   release_build PRESET
release_build() {
  prebuilt "$1" || cmake --workflow --preset "$1" > /dev/null
}

# True when the suite made the step NAME (a build) before this stage.
#
#   prebuilt NAME
prebuilt() {
  [[ " ${UPM_PREBUILT:-} " == *" $1 "* ]]
}
