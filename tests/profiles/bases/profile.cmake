# A profile with two bases, named relative to the profile folder: the releases
# are the folders' names, and the decoder comes in through the profile.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "")
set(UPDATER_BASE "../kill" "../../../profiles/sample")
