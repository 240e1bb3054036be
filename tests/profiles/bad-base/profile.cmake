# A profile whose base is not a folder.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "")
set(UPDATER_BASE "no-such-release")
