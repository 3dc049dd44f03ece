# The flashing tool, bossac 1.9.1, built from Debian's upstream tarball of
# bossa (checked against its SHA-256 by scripts/bossa-source.sh), with our
# patches for faults found in it (packaging/bossa/*.patch), with this
# project's compilers and reproducibility flags: bossac.exe with MinGW-w64,
# bossac natively. The tests, the demo, the benchmark and the releases all
# take it from here: <build>/bossac-1.9.1/bossac[.exe].
#
#   cmake --build --preset windows --target bossac
#
# Not part of a test build's default build (it fetches the source); a
# release build makes it, since the archive carries it.

set(UPM_BOSSA_TARBALL "" CACHE FILEPATH
    "A local copy of bossa_1.9.1.orig.tar.gz (else fetched with apt-get source)")
# One download for every build folder of this checkout, kept when a build
# folder is cleaned or removed.
set(UPM_BOSSA_CACHE ${PROJECT_SOURCE_DIR}/build/downloads CACHE PATH
    "Where the fetched bossa tarball is kept between builds")

# Every *.patch there is applied, in name order.
set(UPM_BOSSA_PATCHES ${PROJECT_SOURCE_DIR}/packaging/bossa CACHE PATH
    "The folder of patches applied to bossa's source")

set(bossa_source ${CMAKE_BINARY_DIR}/bossa-1.9.1)
# The command-line tool only: no GUI, no shell, no ARM assembler (the
# applet's code is in WordCopyArm.cpp already).
set(bossac_units Samba Flash D5xNvmFlash D2xNvmFlash EfcFlash EefcFlash Applet WordCopyApplet
    WordCopyArm Flasher Device bossac CmdOpts)
if(WIN32)
  list(APPEND bossac_units WinSerialPort WinPortFactory)
else()
  list(APPEND bossac_units PosixSerialPort LinuxPortFactory)
endif()
list(TRANSFORM bossac_units PREPEND ${bossa_source}/src/)
list(TRANSFORM bossac_units APPEND .cpp)
set(UPM_BOSSA_LICENSE ${bossa_source}/LICENSE)
set(UPM_BOSSA_SOURCE_NOTE ${bossa_source}/SOURCE)
# The patches as applied, for the release's notices and bill of materials.
set(UPM_BOSSA_APPLIED_PATCHES ${bossa_source}/patches)

# A patch added, changed or removed unpacks the source afresh (the folder's
# time marks an added or removed one).
file(GLOB bossa_patches CONFIGURE_DEPENDS ${UPM_BOSSA_PATCHES}/*.patch)
set(bossa_depends ${PROJECT_SOURCE_DIR}/scripts/bossa-source.sh ${UPM_BOSSA_PATCHES}
    ${bossa_patches})
if(UPM_BOSSA_TARBALL)
  list(APPEND bossa_depends ${UPM_BOSSA_TARBALL})
endif()
add_custom_command(
  OUTPUT ${bossac_units} ${UPM_BOSSA_LICENSE} ${UPM_BOSSA_SOURCE_NOTE}
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/bossa-source.sh ${UPM_BOSSA_CACHE} ${bossa_source}
          ${UPM_BOSSA_PATCHES} ${UPM_BOSSA_TARBALL}
  DEPENDS ${bossa_depends}
  COMMENT "Unpacking bossa 1.9.1 from its checked tarball and patching it"
  VERBATIM)

set(upm_bossac_in_all EXCLUDE_FROM_ALL)
if(UPM_RELEASE)
  set(upm_bossac_in_all "")
endif()
add_executable(bossac ${upm_bossac_in_all} ${bossac_units})
set_target_properties(bossac PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bossac-1.9.1
  CXX_STANDARD 11
  CXX_EXTENSIONS OFF)
target_include_directories(bossac PRIVATE ${bossa_source}/src)
# The version its --help names; upstream takes it from git, which a tarball lacks.
target_compile_definitions(bossac PRIVATE VERSION="1.9.1")
# Someone else's code: its warnings are not ours to fix (-w also keeps
# -Werror of our own warnings from failing it).
target_compile_options(bossac PRIVATE -w)
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  # The sanitizer build checks our code; the tool is only driven by it.
  target_compile_options(bossac PRIVATE -fno-sanitize=all)
  target_link_options(bossac PRIVATE -fno-sanitize=all)
endif()
# What the linker took, for the release's notices and bill of materials.
target_link_options(bossac PRIVATE -Wl,-Map=${CMAKE_BINARY_DIR}/bossac.map)
if(WIN32)
  target_link_libraries(bossac PRIVATE setupapi)
  # As the program: one .exe with no MinGW DLLs beside it, no link time.
  target_link_options(bossac PRIVATE -static -Wl,--no-insert-timestamp)
elseif(UPM_RELEASE)
  # As the released program: static, hardened (CMakeLists.txt).
  target_link_options(bossac PRIVATE ${UPM_STATIC_LINK})
else()
  # The tests' tool: nothing but the C library from the system.
  target_link_options(bossac PRIVATE -static-libstdc++ -static-libgcc -Wl,--as-needed)
endif()
