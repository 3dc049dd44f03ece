#!/usr/bin/env bash
# The Linux end-to-end cases once more, the program running under valgrind,
# and the Windows real-tool rows with simulated_board under valgrind: any
# memory error or definite/indirect leak fails its case (exit status 1 and
# valgrind's report on standard error). The flashing tool is a process
# of its own and is not traced. The runner skips the case of a tool that
# cannot be started: valgrind turns posix_spawn's vfork into a plain fork,
# so the exec error never reaches the program.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/real-tool-rows.bash
build="${UPM_NATIVE_BUILD:-build/native}"
[ -x "$build/UpdateProgramManually" ] || {
  cmake --preset native -DUPM_WARNINGS_AS_ERRORS=ON
  cmake --build --preset native
  cmake --build --preset native --target bossac
}
export UPM_E2E_WRAPPER="valgrind --error-exitcode=1 --leak-check=full \
--errors-for-leak-kinds=definite,indirect --trace-children=no -q"
ctest --test-dir "$build" --output-on-failure --no-tests=error -R '^e2e_linux$'
# simulated_board's serial link, which only the Windows program uses: the
# real-tool rows under Wine, simulated_board under valgrind.
real_tool_rows windows "$build/demo/simulated_board"
