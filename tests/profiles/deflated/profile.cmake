# The sample title with its payload carried deflated.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_COMPRESS ON)
