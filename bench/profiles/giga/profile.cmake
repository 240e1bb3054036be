# The sample title with a 1 GiB payload: a 576 MiB main program among three
# data files, all random bytes, and a record library that describes them, so
# that the updated installation can be verified like any other.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "TumbleTrain.exe" "Data1.pak" "Data2.pak" "Data3.pak" "dll/RESOURCE.dll")
set(UPDATER_PAYLOAD_DIR "${UPDATER_GIGA_PAYLOAD_DIR}")
