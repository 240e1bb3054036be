# The sample title with a 48 MiB main program: keeps the progress dialog on
# screen long enough to poke at it, and shows memory use against payload size.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD_DIR "${UPDATER_LARGE_PAYLOAD_DIR}")
