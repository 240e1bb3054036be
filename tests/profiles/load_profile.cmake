cmake_minimum_required(VERSION 3.25)
# cmake -DPROFILE=<folder> -P load_profile.cmake: loads and checks a profile
# the way the build does, and prints what it found.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Profile.cmake)
updater_load_profile("${PROFILE}")
message(STATUS "profile ok: ${UPDATER_BASE_NAME}, payload [${UPDATER_PAYLOAD}]")
