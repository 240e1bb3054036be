# The sample title whose main program is carried as a patch from the sample's
# older installation: UPDATER_BENCH_PATCHED_DIR holds the new files (a main
# program of 1 MB or 1 GiB made from the old one), set by the bench's CMake.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD_DIR "${UPDATER_BENCH_PATCHED_DIR}")
set(UPDATER_BASE "${UPDATER_SAMPLE_DIR}/old")
# Deflated like the build it is measured against: the decoder is what it adds.
set(UPDATER_COMPRESS ON)
# Its record library is the sample's: it describes another main program.
set(UPDATER_RECORDS_MAY_DIFFER ON)
