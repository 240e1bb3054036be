# Signs a freshly linked updater in place (cmake -P, run by the build after the
# link and any step that changes the image):
#   cmake -DEXE=<updater.exe> -DCONFIG=<signing.cmake> -P SignUpdater.cmake
# CONFIG sets the SIGN_* values (cmake/Profile.cmake writes it). The password is
# read by osslsigncode from its file; it never appears on a command line or in
# the output.
#
# The linked image is kept as SIGN_UNSIGNED_COPY and the exe removed before
# anything else, so that a failure or an interruption leaves no exe at all
# (and the next build links and signs again), never an unsigned or half-signed
# one that looks finished. The signed image goes to a temporary name, is
# checked to be the linked image with only a certificate table appended and a
# right PE checksum, and only then takes the exe's name.

include("${CONFIG}")
get_filename_component(_name "${EXE}" NAME)
set(_signing "${EXE}.signing")

function(sign_fail text)
  file(REMOVE "${_signing}" "${EXE}")
  message(FATAL_ERROR "Signing ${_name} failed: ${text}\nNo ${_name} was left in place.")
endfunction()

if(NOT EXISTS "${EXE}")
  message(FATAL_ERROR "Signing: ${EXE} does not exist")
endif()
file(COPY_FILE "${EXE}" "${SIGN_UNSIGNED_COPY}")
file(REMOVE "${EXE}" "${_signing}")

if(SIGN_PKCS12)
  set(_key_args -pkcs12 "${SIGN_PKCS12}")
  set(_key_names "the PKCS#12 file ${SIGN_PKCS12} (UPDATER_SIGN_PKCS12)")
else()
  set(_key_args -certs "${SIGN_CERTS}" -key "${SIGN_KEY}")
  set(_key_names "the key ${SIGN_KEY} (UPDATER_SIGN_KEY)")
endif()
set(_args sign ${_key_args} -h sha256 -n "${SIGN_DESCRIPTION}")
if(SIGN_PASSWORD_FILE)
  list(APPEND _args -readpass "${SIGN_PASSWORD_FILE}")
endif()
if(SIGN_URL)
  list(APPEND _args -i "${SIGN_URL}")
endif()
if(SIGN_TIMESTAMP_URL)
  list(APPEND _args -ts "${SIGN_TIMESTAMP_URL}")
endif()
list(APPEND _args -in "${SIGN_UNSIGNED_COPY}" -out "${_signing}")

set(_launcher "")
if(SIGN_SETSID)
  set(_launcher "${SIGN_SETSID}" -w)
endif()
execute_process(COMMAND ${_launcher} "${SIGN_OSSLSIGNCODE}" ${_args}
                INPUT_FILE /dev/null RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
if(NOT _rc EQUAL 0 OR NOT EXISTS "${_signing}")
  # osslsigncode names a wrong or missing password only in passing; say it first.
  if(_out MATCHES "Wrong password")
    if(SIGN_PASSWORD_FILE)
      set(_why "the password in ${SIGN_PASSWORD_FILE} (UPDATER_SIGN_PASSWORD_FILE) does not open ${_key_names}")
    else()
      set(_why "${_key_names} needs a password: put it in a file named by UPDATER_SIGN_PASSWORD_FILE")
    endif()
  elseif(SIGN_TIMESTAMP_URL AND _out MATCHES "[Tt]imestamp")
    set(_why "the timestamp server ${SIGN_TIMESTAMP_URL} (UPDATER_SIGN_TIMESTAMP_URL) did not answer as expected")
  else()
    set(_why "osslsigncode ended with ${_rc}")
  endif()
  # Its own lines say enough; OpenSSL's error stack and the prompts it tried only add noise.
  string(REPLACE "Enter PEM pass phrase:" "\n" _out "${_out}")
  string(REGEX REPLACE "\n" ";" _lines "${_out}")
  set(_said "")
  foreach(_line IN LISTS _lines)
    if(NOT _line MATCHES "^[0-9A-F]+:error:" AND NOT _line MATCHES "^[ \t\r]*$")
      string(APPEND _said "  ${_line}\n")
    endif()
  endforeach()
  sign_fail("${_why}. osslsigncode said:\n${_said}")
endif()

execute_process(COMMAND "${SIGN_SIGNCHECK}" appended "${SIGN_UNSIGNED_COPY}" "${_signing}" --fix-checksum
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _check ERROR_VARIABLE _check)
if(NOT _rc EQUAL 0)
  sign_fail("${_check}")
endif()
# osslsigncode writes its output without the execute bits the linker gave the exe.
file(CHMOD "${_signing}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
file(RENAME "${_signing}" "${EXE}")
string(REPLACE "${_signing}: " "" _check "${_check}")
string(STRIP "${_check}" _check)
message(STATUS "Signed ${_name} (\"${SIGN_DESCRIPTION}\"): ${_check}")
