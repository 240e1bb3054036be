# Two payload paths whose last components differ only in the case of letters
# beyond ASCII: Windows finds resources by capitals, so they would collide.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "a/ｄａｔａж.bin" "b/ＤＡＴＡЖ.BIN")
set(UPDATER_PAYLOAD_DIR "${CMAKE_CURRENT_LIST_DIR}/payload")
