#!/usr/bin/env bash
# Builds the libFuzzer targets with clang. Each replays every input of its
# kept corpus (tests/fuzz/corpus/TARGET), then searches from there for
# UPM_FUZZ_SECONDS (default 5): what longer searches found is in the kept
# corpus, so a short one each run is enough for code that did not change,
# and a longer one is for code that did. Any crash, sanitizer report or
# broken property fails.
#
#   UPM_FUZZ_SECONDS=600 UPM_FUZZ_KEEP=1 scripts/stages/40-fuzz.sh
#
# UPM_FUZZ_KEEP=1 adds to the kept corpus the inputs of the search that
# reach code it does not (libFuzzer's -merge=1), to be committed; a crash's
# input, once its fault is fixed, goes there too.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${UPM_FUZZ_SECONDS:-5}"
build=build/fuzz

CXX=clang++ cmake -S tests/fuzz -B "$build"
cmake --build "$build" -j2

for target in port_name detection image_name choice_number simulated_chip; do
  # New inputs go to a scratch folder; the kept corpus changes only on request.
  work="$build/work/$target"
  kept="tests/fuzz/corpus/${target}"
  mkdir -p "$work" "$build/artifacts"
  # The simulated chip complains on stderr about every refused command;
  # libFuzzer keeps its own reports on a copy of stderr.
  quiet=(); [ "$target" != simulated_chip ] || quiet=(-close_fd_mask=2)
  # libFuzzer runs every input of the folders it is given before it searches.
  if ! "$build/fuzz_${target}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      "${quiet[@]}" \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/${target}-" \
      "$work" "$kept" > "$build/${target}.log" 2>&1; then
    tail -n 40 "$build/${target}.log" >&2
    echo "fuzz_${target} found a fault; the input is in $build/artifacts/ (once fixed, add it to $kept/)" >&2
    exit 1
  fi
  echo "ok   fuzz_${target}: $(ls "$kept" | wc -l) kept inputs replayed, then ${seconds} s of search:" \
    "$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/${target}.log") runs"
  if [ "${UPM_FUZZ_KEEP:-}" = 1 ]; then
    "$build/fuzz_${target}" -merge=1 "${quiet[@]}" "$kept" "$work" > "$build/${target}-merge.log" 2>&1 \
      || { tail -n 20 "$build/${target}-merge.log" >&2; exit 1; }
    echo "     kept corpus: $(ls "$kept" | wc -l) inputs"
  fi
done
