# The release archive for operators, laid out as the program expects its
# folder: the program and its guide at the top, the flashing tool with its
# licence in Bossac/1.9.1/, the third-party notices and the bill of
# materials. No test program, no GoogleTest, no stand-in tool.
#
#   cmake --workflow --preset windows-release   (or linux-release,
#                                    linux-arm64-release, linux-armhf-release)
#   cmake --build --preset windows --target release_archive
#
# The release is made in steps, each a target of its own, so that a step
# can be put in between (signing) and the last one rerun on any folder:
#   1. build   UpdateProgramManually and bossac (cmake/bossac.cmake), each
#              with a linker map of what it took;
#   2. stage   target release_files: packaging/stage_release.py lays out
#              every file of the archive in <build>/package/, exactly as the
#              archive's tree, with THIRD-PARTY-NOTICES.txt derived from the
#              linker maps, on Linux with the udev rules that
#              upm_udev_rules writes from the boards' tables, and writes the
#              bill of materials' draft <build>/sbom-draft.json beside it;
#   3. sign    target release_signing: packaging/sign_release.sh signs the
#              staged Windows programs in place when the UPM_SIGN_* variables
#              are set (docs/signing.md, "Signing a release"), before the hashes are
#              taken; without them it leaves every file as it is;
#   4. pack    target release_archive: packaging/make_archive.py ARCHIVE
#              SOURCE_DIR <build>/package <build>/sbom-draft.json writes
#              sbom.cdx.json into the folder with the hashes of the files as
#              they stand, then the archive and its .sha256. It needs
#              nothing but that folder, the draft and the commit's time;
#   5. sign    target release_openpgp: packaging/openpgp_sign.sh writes the
#              archive's detached OpenPGP signature ARCHIVE.asc beside it
#              when UPM_GPG_KEY is set (docs/signing.md, "Signing a release"), and
#              does nothing without it.
#
# Two builds of the same commit give the same bytes; see
# packaging/make_archive.py for how the archive itself is kept so.

if(WIN32)
  set(UPM_PROGRAM_FILE UpdateProgramManually.exe)
  set(UPM_TOOL_FILE bossac.exe)
  set(upm_keep W)
  set(upm_drop L)
  # Windows line breaks, so that any Notepad shows the texts as lines.
  set(upm_newlines CRLF)
  set(upm_newline_name crlf)
  set(upm_archive ${PROJECT_NAME}-${PROJECT_VERSION}-win64.zip)
else()
  set(UPM_PROGRAM_FILE UpdateProgramManually)
  set(UPM_TOOL_FILE bossac)
  set(upm_keep L)
  set(upm_drop W)
  set(upm_newlines LF)
  set(upm_newline_name lf)
  # Debian's names for the ARM ones, as their users know them; x86_64 as before.
  set(upm_arch ${CMAKE_SYSTEM_PROCESSOR})
  if(upm_arch STREQUAL "aarch64")
    set(upm_arch arm64)
  elseif(upm_arch MATCHES "^arm")
    set(upm_arch armhf)
  endif()
  set(upm_archive ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${upm_arch}.tar.gz)
endif()

# One source per text for both systems. A line that starts with "[W] " is
# only in the Windows copy, "[L] " only in the Linux copy, "[#] " in
# neither (notes for whoever edits the text); @NAMES@ are filled in as by
# configure_file.
function(upm_operator_text source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  set(text "\n${text}")
  string(REGEX REPLACE "\n\\[(${upm_drop}|#)\\][^\n]*" "" text "${text}")
  string(REGEX REPLACE "\n\\[${upm_keep}\\] ?" "\n" text "${text}")
  string(SUBSTRING "${text}" 1 -1 text)
  file(CONFIGURE OUTPUT ${output} CONTENT "${text}" @ONLY NEWLINE_STYLE ${upm_newlines})
endfunction()

set(upm_texts ${CMAKE_CURRENT_BINARY_DIR}/release-texts)
set(upm_package ${CMAKE_CURRENT_BINARY_DIR}/package)
set(upm_sbom_draft ${CMAKE_CURRENT_BINARY_DIR}/sbom-draft.json)
# The Linux archive's udev rules (below), named in the guide. The number
# puts them before 71-seat.rules and 73-seat-late.rules, which turn the
# "uaccess" tag into the user's access, and before ModemManager's rules
# (77-mm-*, 80-mm-candidate.rules).
set(UPM_UDEV_RULES 69-updateprogrammanually.rules)
upm_operator_text(${PROJECT_SOURCE_DIR}/docs/operator-guide.txt ${upm_texts}/README.txt)

find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  if(UPM_RELEASE)
    message(FATAL_ERROR "The release archive is written by Python 3: apt-get install python3")
  endif()
  return()
endif()

# Both steps run on every build, not only when a file changed: the entries'
# time is the last commit's, which can move without any file changing.
set(upm_in_all "")
if(UPM_RELEASE)
  set(upm_in_all ALL)
endif()
set(upm_tool Bossac/1.9.1/${UPM_TOOL_FILE})
# The udev rules are written by a small program from the program's own
# tables of boards and bootloaders (packaging/linux/), so that no second
# list of USB IDs can drift from them.
set(upm_linux_files "")
if(NOT WIN32)
  set(upm_rules_file ${upm_texts}/${UPM_UDEV_RULES})
  if(CMAKE_CROSSCOMPILING)
    # A tool of the build, so built for the build machine, with its own
    # compiler: the same tables give the same rules on any architecture.
    find_program(UPM_HOST_CXX NAMES c++ g++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
    set(upm_rules_sources packaging/linux/udev_rules.cpp detection/boards.cpp
        platform/platform_linux.cpp)
    list(TRANSFORM upm_rules_sources PREPEND ${PROJECT_SOURCE_DIR}/)
    set(upm_rules_tool ${CMAKE_CURRENT_BINARY_DIR}/host/upm_udev_rules)
    add_custom_command(OUTPUT ${upm_rules_tool}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/host
      COMMAND ${UPM_HOST_CXX} -std=c++17 -O2 -I${PROJECT_SOURCE_DIR}/detection
              -I${PROJECT_SOURCE_DIR}/platform ${upm_rules_sources} -o ${upm_rules_tool}
      DEPENDS ${upm_rules_sources}
      VERBATIM)
  else()
    add_executable(upm_udev_rules packaging/linux/udev_rules.cpp)
    target_link_libraries(upm_udev_rules PRIVATE upm_core upm_platform)
    set(upm_rules_tool upm_udev_rules)
  endif()
  add_custom_command(OUTPUT ${upm_rules_file}
    COMMAND ${upm_rules_tool} ${upm_rules_file}
    DEPENDS ${upm_rules_tool}
    VERBATIM)
  add_custom_target(release_udev_rules DEPENDS ${upm_rules_file})
  set(upm_linux_files ${UPM_UDEV_RULES}=${upm_rules_file} --arch ${upm_arch})
endif()
add_custom_target(release_files
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/stage_release.py
    ${upm_package} ${upm_sbom_draft} --newlines ${upm_newline_name}
    --name ${PROJECT_NAME} --version ${PROJECT_VERSION}
    --tool ${upm_tool} --tool-version 1.9.1
    --tool-source ${UPM_BOSSA_SOURCE_NOTE} --tool-license ${UPM_BOSSA_LICENSE}
    --tool-patches ${UPM_BOSSA_APPLIED_PATCHES}
    --map ${UPM_PROGRAM_FILE}=${CMAKE_CURRENT_BINARY_DIR}/UpdateProgramManually.map
    --map ${upm_tool}=${CMAKE_BINARY_DIR}/bossac.map
    "${UPM_PROGRAM_FILE}*=$<TARGET_FILE:UpdateProgramManually>"
    "${upm_tool}*=$<TARGET_FILE:bossac>"
    README.txt=${upm_texts}/README.txt ${upm_linux_files}
  VERBATIM)
add_dependencies(release_files UpdateProgramManually bossac)
if(NOT WIN32)
  add_dependencies(release_files release_udev_rules)
endif()
# The Windows programs of the archive, signed in place in the staging
# folder, so that the bill of materials and the .sha256 describe them as
# signed; the build's own .exe files stay what the commit gives. The
# earlier archive and its signature go first, so that a failed signing
# leaves none behind looking new.
set(upm_signed_files "")
if(WIN32)
  set(upm_signed_files ${UPM_PROGRAM_FILE} ${upm_tool})
endif()
list(TRANSFORM upm_signed_files PREPEND ${upm_package}/ OUTPUT_VARIABLE upm_sign_paths)
set(upm_sign_command true)
if(upm_signed_files)
  set(upm_sign_command bash ${PROJECT_SOURCE_DIR}/packaging/sign_release.sh ${upm_sign_paths})
endif()
add_custom_target(release_signing
  COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}
    ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}.sha256 ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}.asc
  COMMAND ${upm_sign_command}
  VERBATIM)
add_dependencies(release_signing release_files)
add_custom_target(release_archive ${upm_in_all}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/make_archive.py
    ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive} ${PROJECT_SOURCE_DIR} ${upm_package}
    ${upm_sbom_draft}
  COMMAND ${CMAKE_COMMAND} -E echo "Wrote ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}"
  VERBATIM)
add_dependencies(release_archive release_signing)
# The archive as written, signed for gpgv; a failed signing takes the
# archive with it, as a failed Authenticode signing leaves none.
add_custom_target(release_openpgp ${upm_in_all}
  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/openpgp_sign.sh ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}
  VERBATIM)
add_dependencies(release_openpgp release_archive)
