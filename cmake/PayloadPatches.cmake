# Build step of a payload file that a base of the profile (UPDATER_BASE) also
# has: makes a patch from each base's copy to the new file with payloadtool
# diff, keeps those smaller than the whole file as carried (deflated or raw),
# and writes
#   SET     the kept patches as one set (payloadtool patchset; empty when none),
#           and SET.sum, its size and checksum (payloadtool check),
#   RC      the file's resources: BINPATCH with the set and BINPATCHSUM with
#           its check record when a patch is kept,
#           BIN with the whole file when a base has no copy or no smaller patch,
#   REPORT  one line for scripts/release: the path, the whole file's carried
#           size, then each base's patch size (- when the base has no copy;
#           a size in brackets when it is not carried, being no smaller).
# Run as cmake -DCONFIG=<entry's settings> -P PayloadPatches.cmake.
include("${CONFIG}")

file(SIZE "${CARRIED}" _whole_size)
set(_kept "")
set(_carry_whole FALSE)
set(_report "${ENTRY}\t${_whole_size}")
set(_index 0)
foreach(_base IN LISTS BASE_FILES)
  set(_patch "${OUT_DIR}/${_index}.upp")
  math(EXPR _index "${_index} + 1")
  if(NOT EXISTS "${_base}" OR IS_DIRECTORY "${_base}")
    # Players of this release have no copy: the file is new to them.
    set(_carry_whole TRUE)
    string(APPEND _report "\t-")
    continue()
  endif()
  execute_process(COMMAND "${PAYLOADTOOL}" diff "${_base}" "${NEW_FILE}" "${_patch}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "payloadtool diff ${_base} ${NEW_FILE} failed (${_rc})")
  endif()
  file(SIZE "${_patch}" _size)
  if(_size LESS _whole_size)
    list(APPEND _kept "${_patch}")
    string(APPEND _report "\t${_size}")
  else()
    set(_carry_whole TRUE)
    string(APPEND _report "\t(${_size})")
  endif()
endforeach()

set(_rc "")
if(_kept)
  execute_process(COMMAND "${PAYLOADTOOL}" patchset "${SET}" ${_kept} RESULT_VARIABLE _rc_code)
  if(NOT _rc_code EQUAL 0)
    message(FATAL_ERROR "payloadtool patchset ${SET} failed (${_rc_code})")
  endif()
  execute_process(COMMAND "${PAYLOADTOOL}" check "${SET}" "${SET}.sum" RESULT_VARIABLE _rc_code)
  if(NOT _rc_code EQUAL 0)
    message(FATAL_ERROR "payloadtool check ${SET} failed (${_rc_code})")
  endif()
  string(APPEND _rc "LANGUAGE 0x11, 0x01\n\"${NAME}\" BINPATCH \"${SET}\"\n")
  string(APPEND _rc "LANGUAGE 0x11, 0x01\n\"${NAME}\" BINPATCHSUM \"${SET}.sum\"\n")
else()
  file(WRITE "${SET}" "")
endif()
if(_carry_whole)
  string(APPEND _rc "LANGUAGE 0x11, 0x01\n\"${NAME}\" BIN \"${CARRIED}\"\n")
endif()
file(WRITE "${RC}" "${_rc}")
file(WRITE "${REPORT}" "${_report}\n")
