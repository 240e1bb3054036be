# The 48 MiB updater with English texts: its progress dialog stays on screen
# long enough to be read, and photographed in English.
include(${CMAKE_SOURCE_DIR}/tests/profiles/large/profile.cmake)
set(UPDATER_LANGUAGES ja en)
