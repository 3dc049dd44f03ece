#!/usr/bin/env bash
# Anyone can check a release against its source: the release commands (the
# Windows ZIP and the three Linux archives), run in two clones of the last
# commit, in different folders, at different times, with different umasks,
# time zones and locales, give byte-identical archives, programs, flashing
# tools and checksum files. Then, once more in
# one clone, the archives' entries take their time from SOURCE_DATE_EPOCH
# when it is set. In the suite (tests/suite/), its release builds of this
# checkout are the first, when the checkout is the last commit unchanged.
#
#   scripts/stages/25-reproducible-releases.sh
#
# It checks the last commit: uncommitted changes are not in the clones.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
# CI may run as root in a checkout that another user owns.
git() { command git -c safe.directory='*' "$@"; }
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not part of this check (it builds $commit)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset SOURCE_DATE_EPOCH  # the time comes from the commit, as in a plain release build

# Patterns, expanded inside each clone: here the release folders may not exist.
outputs='build/windows-release/UpdateProgramManually.exe build/windows-release/bossac-1.9.1/bossac.exe
         build/windows-release/*.zip build/windows-release/*.zip.sha256
         build/linux-release/UpdateProgramManually build/linux-release/bossac-1.9.1/bossac
         build/linux-release/*.tar.gz build/linux-release/*.tar.gz.sha256'
for arch in arm64 armhf; do
  outputs+=" build/linux-$arch-release/UpdateProgramManually build/linux-$arch-release/bossac-1.9.1/bossac
           build/linux-$arch-release/*.tar.gz build/linux-$arch-release/*.tar.gz.sha256"
done

release_in() {  # FOLDER UMASK TZ LOCALE: clone, run both release commands, list the sums
  local src=$1
  mkdir -p "$(dirname "$src")"
  git clone -q --no-checkout --no-hardlinks "$root" "$src"
  git -C "$src" checkout -q --detach "$commit"
  if ! (cd "$src" && umask "$2" && export TZ=$3 LC_ALL=$4 &&
        cmake --workflow --preset windows-release && cmake --workflow --preset linux-release &&
        cmake --workflow --preset linux-arm64-release && cmake --workflow --preset linux-armhf-release) \
        > "$src.log" 2>&1; then
    tail -n 30 "$src.log"; echo "FAIL the release build in $src"; exit 1
  fi
  # shellcheck disable=SC2086  # split and expanded on purpose
  (cd "$src" && sha256sum $outputs) > "$src.sums"
}

start=$(date +%s)
# The suite's release builds (tests/suite/, UPM_PREBUILT) serve as the first
# when this checkout is the last commit unchanged; the second, the one that
# starts from nothing, is always made here.
prebuilt=yes
for preset in $(grep -oE 'build/[a-z0-9-]+' <<< "$outputs" | sort -u); do
  [[ " ${UPM_PREBUILT:-} " == *" ${preset#build/} "* ]] || prebuilt=no
done
if [ "$prebuilt" = yes ] && [ -z "$(git status --porcelain)" ]; then
  mkdir -p "$work/one"
  # shellcheck disable=SC2086  # split and expanded on purpose
  (cd "$root" && sha256sum $outputs) > "$work/one/UpdateProgramManually.sums"
  echo "the first build: this checkout's release builds"
else
  release_in "$work/one/UpdateProgramManually" 022 UTC C
fi
sleep 2  # a later second for every file the second build writes
# In the suite the second build is made where verify-release.sh
# looks for its own fresh build of the commit, so that stage 26 takes it
# rather than building all four once more: it is the same thing, a clone
# of the commit built from nothing.
two="$work/two/a/deeper/place/checkout"
if [ -n "${UPM_VERIFY_BUILDS:-}" ]; then
  two="$UPM_VERIFY_BUILDS/$commit"
  # Only this run's commit is wanted there: older clones would pile up.
  rm -rf "$UPM_VERIFY_BUILDS"
fi
release_in "$two" 077 Pacific/Kiritimati C.UTF-8
cat "$work/one/UpdateProgramManually.sums"
if ! diff -u "$work/one/UpdateProgramManually.sums" "$two.sums"; then
  echo "FAIL two builds of $commit differ"; exit 1
fi
echo "ok   both builds of $commit are byte-identical ($(( $(date +%s) - start )) s)"

# Entry times from SOURCE_DATE_EPOCH: 2023-11-14 22:13:20 UTC.
src=$two
(cd "$src" && for preset in linux-release linux-arm64-release linux-armhf-release windows-release; do
   SOURCE_DATE_EPOCH=1700000000 cmake --build "build/$preset" --target release_archive || exit; done) > /dev/null
times=$( (for tgz in "$src"/build/linux*-release/*.tar.gz; do
            TZ=UTC tar -tvzf "$tgz" --full-time | awk '{print $4 " " $5}'; done;
          TZ=UTC zipinfo -T "$src"/build/windows-release/*.zip | awk '/^[-d]/ {print $7}') | LC_ALL=C sort -u)
[ "$times" = $'2023-11-14 22:13:20\n20231114.221320' ] \
  || { echo "FAIL entry times do not follow SOURCE_DATE_EPOCH:"; echo "$times"; exit 1; }
echo "ok   entry times follow SOURCE_DATE_EPOCH"

# Only now, with both checks passed, is the second build verify-release.sh's
# to take (its marks come last, as its own do).
if [ -n "${UPM_VERIFY_BUILDS:-}" ]; then
  touch "$two.cloned"
  for preset in windows-release linux-release linux-arm64-release linux-armhf-release; do
    touch "$two.built-$preset"
  done
fi
