# A profile with two payload paths that share their last component.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "a/Same.dll" "b/SAME.dll")
set(UPDATER_PAYLOAD_DIR "${CMAKE_CURRENT_LIST_DIR}/payload")
