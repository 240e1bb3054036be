# A profile whose payload list names a file the payload folder lacks.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "Missing.exe")
set(UPDATER_PAYLOAD_DIR "${CMAKE_CURRENT_LIST_DIR}/payload")
