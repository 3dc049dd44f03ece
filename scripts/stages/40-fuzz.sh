#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# from its seed corpus. Any crash, sanitizer report or broken property fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${UPM_FUZZ_SECONDS:-30}"
build=build/fuzz

CXX=clang++ cmake -S tests/fuzz -B "$build"
cmake --build "$build" -j2

for target in port_name detection image_name choice_number simulated_chip; do
  # New inputs go to a scratch folder; the seeds in the repository stay as they are.
  work="$build/work/$target"
  mkdir -p "$work" "$build/artifacts"
  echo "--- fuzz_${target}: ${seconds} s"
  # The simulated chip complains on stderr about every refused command;
  # libFuzzer keeps its own reports on a copy of stderr.
  quiet=(); [ "$target" != simulated_chip ] || quiet=(-close_fd_mask=2)
  if ! "$build/fuzz_${target}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      "${quiet[@]}" \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/${target}-" \
      "$work" "tests/fuzz/corpus/${target}" > "$build/${target}.log" 2>&1; then
    tail -n 40 "$build/${target}.log" >&2
    echo "fuzz_${target} found a fault; the input is in $build/artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$build/${target}.log" || true
done
