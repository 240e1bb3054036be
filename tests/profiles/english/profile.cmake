# The sample title with English texts beside the Japanese ones.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_LANGUAGES ja en)
