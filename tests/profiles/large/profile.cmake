# The sample title with a 48 MiB main program: keeps the progress dialog on
# screen long enough to poke at it, and shows memory use against payload size.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD_DIR "${UPDATER_LARGE_PAYLOAD_DIR}")
# Its main program is a stand-in of zeros that the sample's records do not
# describe: the updated installation is not meant to pass the check again.
set(UPDATER_RECORDS_MAY_DIFFER ON)
