# Sourced by the stages (not a stage itself): the real-tool rows of
# tests/e2e/e2e.py, the real flashing tool writing simulated_board's chip.
#
#   real_tool_rows linux|windows SIMULATED_BOARD [E2E.PY OPTIONS...]
#
# The program, stand-in tool and real tool default to the test builds'
# (build/native, and for Windows build/windows or UPM_WINDOWS_BUILD, the
# Windows rows in its Wine prefix); options given after SIMULATED_BOARD
# override them, --release ARCHIVE runs the archive's own program and tool.
real_tool_rows() {
  local backend=$1 board=$2
  shift 2
  local defaults=(--program build/native/UpdateProgramManually
                  --fake-bossac build/native/tests/e2e/fake_bossac
                  --real-bossac build/native/bossac-1.9.1/bossac)
  if [ "$backend" = windows ]; then
    local build=${UPM_WINDOWS_BUILD:-build/windows}
    defaults=(--program "$build/UpdateProgramManually.exe"
              --fake-bossac "$build/tests/e2e/fake_bossac.exe"
              --real-bossac "$build/bossac-1.9.1/bossac.exe"
              --wineprefix "$build/e2e-wineprefix")
    mkdir -p "$build"  # Wine makes the prefix, not the folders above it
  fi
  python3 tests/e2e/e2e.py --backend "$backend" "${defaults[@]}" --simulated-board "$board" "$@" \
    -k test_real_flashing_tool
}
