# A profile that writes no file: valid, the updater then only checks and records.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "")
