# The release archive for operators, laid out as the program expects its
# folder: the program and its guide at the top, and Bossac/1.9.1/ where the
# flashing tool goes. No test program, no GoogleTest, no stand-in tool.
#
#   cmake --workflow --preset windows-release   (or linux-release)
#   cmake --build --preset windows --target release_archive
#
# Two builds of the same commit give the same bytes; see
# packaging/make_archive.py for how the archive itself is kept so.

if(WIN32)
  set(UPM_PROGRAM_FILE UpdateProgramManually.exe)
  set(upm_keep W)
  set(upm_drop L)
  # Windows line breaks, so that any Notepad shows the texts as lines.
  set(upm_newlines CRLF)
  set(upm_archive ${PROJECT_NAME}-${PROJECT_VERSION}-win64.zip)
else()
  set(UPM_PROGRAM_FILE UpdateProgramManually)
  set(upm_keep L)
  set(upm_drop W)
  set(upm_newlines LF)
  set(upm_archive ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}.tar.gz)
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

set(upm_package ${CMAKE_CURRENT_BINARY_DIR}/package)
upm_operator_text(${PROJECT_SOURCE_DIR}/docs/operator-guide.txt ${upm_package}/README.txt)
upm_operator_text(${PROJECT_SOURCE_DIR}/packaging/PUT-BOSSAC-HERE.txt
                  ${upm_package}/PUT-BOSSAC-HERE.txt)

find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  if(UPM_RELEASE)
    message(FATAL_ERROR "The release archive is written by Python 3: apt-get install python3")
  endif()
  return()
endif()

# Run on every build, not only when a file changed: the entries' time is
# the last commit's, which can move without any file changing.
set(upm_in_all "")
if(UPM_RELEASE)
  set(upm_in_all ALL)
endif()
# The Windows programs of the archive, as named inside it, that
# packaging/sign_release.sh signs when the UPM_SIGN_* variables are set
# (README, "Signing a release"). They are signed as copies, so the build's
# own .exe stays what the commit gives; an earlier archive goes first, so
# that a failed signing leaves none behind looking new.
set(upm_signed_files "")
if(WIN32)
  set(upm_signed_files ${UPM_PROGRAM_FILE})
endif()
set(upm_signed ${CMAKE_CURRENT_BINARY_DIR}/signed)
list(TRANSFORM upm_signed_files PREPEND ${upm_signed}/ OUTPUT_VARIABLE upm_sign_paths)
set(upm_sign_command true)
if(upm_signed_files)
  set(upm_sign_command bash ${PROJECT_SOURCE_DIR}/packaging/sign_release.sh ${upm_sign_paths})
endif()
add_custom_target(release_archive ${upm_in_all}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}
    ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}.sha256
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:UpdateProgramManually> ${upm_signed}/${UPM_PROGRAM_FILE}
  COMMAND ${upm_sign_command}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/make_archive.py
    ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive} ${PROJECT_SOURCE_DIR}
    "${UPM_PROGRAM_FILE}*=${upm_signed}/${UPM_PROGRAM_FILE}"
    README.txt=${upm_package}/README.txt
    Bossac/1.9.1/PUT-BOSSAC-HERE.txt=${upm_package}/PUT-BOSSAC-HERE.txt
  COMMAND ${CMAKE_COMMAND} -E echo "Wrote ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}"
  VERBATIM)
add_dependencies(release_archive UpdateProgramManually)
