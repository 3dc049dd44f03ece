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
add_custom_target(release_archive ${upm_in_all}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/make_archive.py
    ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive} ${PROJECT_SOURCE_DIR}
    "${UPM_PROGRAM_FILE}*=$<TARGET_FILE:UpdateProgramManually>"
    README.txt=${upm_package}/README.txt
    Bossac/1.9.1/PUT-BOSSAC-HERE.txt=${upm_package}/PUT-BOSSAC-HERE.txt
  COMMAND ${CMAKE_COMMAND} -E echo "Wrote ${CMAKE_CURRENT_BINARY_DIR}/${upm_archive}"
  VERBATIM)
add_dependencies(release_archive UpdateProgramManually)
