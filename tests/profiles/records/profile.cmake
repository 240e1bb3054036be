# A main program and its record library, made by the test in PAYLOAD_RECORDS_DIR;
# with RECORDS_NO_LIBRARY the payload leaves the library out.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_BASE_NAME "Game")
set(UPDATER_PAYLOAD "Game.exe" "dll/RESOURCE.dll")
if(RECORDS_NO_LIBRARY)
  set(UPDATER_PAYLOAD "Game.exe")
endif()
set(UPDATER_PAYLOAD_DIR "${PAYLOAD_RECORDS_DIR}")
