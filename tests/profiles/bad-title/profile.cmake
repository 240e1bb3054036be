# A display title too long for the messages that show it.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
string(REPEAT "x" 901 UPDATER_TITLE)
