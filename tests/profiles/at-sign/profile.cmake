# Values holding "@...@", which must reach the program as written.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_TITLE "Title @CMAKE_COMMAND@")
set(UPDATER_MAKER "Maker@UPDATER_TITLE@")
set(UPDATER_PAYLOAD "")
