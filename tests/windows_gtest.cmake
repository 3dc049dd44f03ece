# Cross-building for Windows: MinGW-w64 has no GoogleTest of its own, so it
# is built here from Debian's sources, and every test runs under Wine.

set(UPM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to cross-build (Debian package googletest)")
if(NOT EXISTS ${UPM_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${UPM_GTEST_SOURCE_DIR}: "
                      "apt-get install googletest")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)  # no install rules of its own
add_subdirectory(${UPM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its own warnings are not ours to fix.
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)

# Test programs must run wherever Wine does, with no MinGW DLLs beside them.
add_link_options(-static)

# Every test program (discovery included) runs in a Wine prefix of this
# build's own, created on first use: CI starts as root on a fresh machine
# with no ~/.wine, and prefixes of other builds stay untouched. Mono and
# Gecko are not needed and would ask to be installed.
set(UPM_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(upm_wine_env ${CMAKE_COMMAND} -E env
    WINEPREFIX=${UPM_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${upm_wine_env} ${CMAKE_CROSSCOMPILING_EMULATOR})

# Started per test, Wine boots its server and services each time, and CTest
# waits for them to let go of the test's output: seconds per test. One
# server kept up for the session, with its services started away from any
# test's output, brings that down to a fraction of a second. It goes away
# by itself two minutes after its last program should the cleanup not run.
# A server still lingering from test discovery would refuse the new one;
# without discovery (one test per program) the prefix may not exist yet,
# and the server does not make it.
add_test(NAME wine_session_start COMMAND ${upm_wine_env} sh -c
  "mkdir -p ${UPM_WINE_PREFIX} && { wineserver -k 2>/dev/null; wineserver -p120 </dev/null >/dev/null 2>&1 && wine cmd /c exit </dev/null >/dev/null 2>&1; }")
add_test(NAME wine_session_stop COMMAND ${upm_wine_env} sh -c "wineserver -k; true")
set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine_session)
set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)
set(upm_test_properties FIXTURES_REQUIRED wine_session)
