# The sample title with a payload entry whose resource the module lacks.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "TumbleTrain.exe" "dll/MISSING.dll" "dll/RESOURCE.dll")
set(UPDATER_PAYLOAD_NOT_CARRIED "dll/MISSING.dll")
