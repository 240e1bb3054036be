# The sample title signed by a stand-in for osslsigncode that changes one byte
# of the image as it signs (tests/release/stand_in_signer.pl): the build's
# check of the signed image must stop the build and leave no exe.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_SIGN_PROGRAM "${CMAKE_SOURCE_DIR}/tests/release/stand_in_signer.pl")
# The stand-in reads no key: any file names the certificate, unless the
# environment names a PEM pair, which would then clash with it.
if("$ENV{UPDATER_SIGN_CERTS}$ENV{UPDATER_SIGN_KEY}" STREQUAL "")
  set(UPDATER_SIGN_PKCS12 "${CMAKE_CURRENT_LIST_FILE}")
endif()
