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
build="${UPM_NATIVE_BUILD:-build/native}"
[ -x "$build/UpdateProgramManually" ] || {
  cmake --preset native -DUPM_WARNINGS_AS_ERRORS=ON
  cmake --build --preset native
}
export UPM_E2E_WRAPPER="valgrind --error-exitcode=1 --leak-check=full \
--errors-for-leak-kinds=definite,indirect --trace-children=no -q"
ctest --test-dir "$build" --output-on-failure --no-tests=error -R '^e2e_linux$'
# simulated_board's serial link, which only the Windows program uses: the
# real-tool rows under Wine, simulated_board under valgrind.
python3 tests/e2e/e2e.py --backend windows --program build/windows/UpdateProgramManually.exe \
  --fake-bossac build/windows/tests/e2e/fake_bossac.exe --simulated-board "$build/demo/simulated_board" \
  --real-bossac build/windows/bossac-1.9.1/bossac.exe --wineprefix build/windows/e2e-wineprefix \
  -k test_real_flashing_tool
