# The sample title carrying an update-information list in its data folder.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_UPDATE_INFO "UpdateInfo.txt")
