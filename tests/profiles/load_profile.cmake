cmake_minimum_required(VERSION 3.25)
# cmake -DPROFILE=<folder> [-DGENERATED=<file>] [-DUPDATER_RECORDLIB=<tool>]
#   [-DPOINTER_SIZE=4|8] -P load_profile.cmake: loads and checks a profile the
# way the build does (its payload's records too, given the tool; its size for a
# 64-bit target unless told otherwise), prints what it found and, with
# GENERATED, writes the profile's constants there and prints them too.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Profile.cmake)
updater_load_profile("${PROFILE}")
if(NOT POINTER_SIZE)
  set(POINTER_SIZE 8)
endif()
updater_check_payload_size(${POINTER_SIZE})
updater_check_payload_records()
message(STATUS "profile ok: ${UPDATER_BASE_NAME}, payload [${UPDATER_PAYLOAD}]")
if(GENERATED)
  updater_generate_profile_source("${GENERATED}")
  file(READ "${GENERATED}" _source)
  message(STATUS "${_source}")
endif()
