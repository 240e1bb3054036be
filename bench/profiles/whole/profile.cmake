# The same new files as the patched bench profile, carried whole and raw: the
# yardstick for the time a patched update takes to write the same bytes.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD_DIR "${UPDATER_BENCH_PATCHED_DIR}")
set(UPDATER_RECORDS_MAY_DIFFER ON)
