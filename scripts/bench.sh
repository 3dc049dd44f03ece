#!/usr/bin/env bash
# Builds the benchmarks and prints, as markdown, what one run of the program
# costs as the folder and the number of serial ports grow, next to
# libserialport and pyserial, and a whole upload with the real flashing tool
# on the simulated board, on Linux and under Wine. Takes a few minutes;
# nothing here asserts a time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-test-deps.sh

build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPM_BUILD_TESTS=OFF \
  -DUPM_BUILD_BENCHMARKS=ON -DUPM_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j2 --target upm_bench simulated_board bossac >/dev/null

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
# Runs one benchmark program; its own report goes to stderr, the JSON is kept.
run() {
  local name=$1
  shift
  "$@" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json >&2
}
load=$(cut -d' ' -f1-3 /proc/loadavg)
run double "$build/bench/upm_bench_double"
# Lookup and start without the preload, which would slow every file call.
run plain "$build/bench/upm_bench" --benchmark_filter='^(lookup|ports/this-machine|start/plain|start/floor)'
run testbed umockdev-wrapper "$build/bench/upm_bench" --benchmark_filter='^(ports/[a-z]+/[0-9]|start/umockdev)'
python3 bench/report.py --load "$load" "$results"/*.json
echo
python3 bench/flash_bench.py "$build/UpdateProgramManually" "$build/bossac-1.9.1/bossac" \
  "$build/demo/simulated_board"
echo
# The same upload through the Windows program and bossac.exe under Wine.
cmake -S . -B "$build-windows" --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DUPM_BUILD_TESTS=OFF -DUPM_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build-windows" -j2 --target UpdateProgramManually bossac >/dev/null
python3 bench/flash_bench.py --windows "$build-windows/UpdateProgramManually.exe" \
  "$build-windows/bossac-1.9.1/bossac.exe" "$build/demo/simulated_board"
