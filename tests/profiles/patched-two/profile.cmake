# The sample title carried as patches from two releases players may have: the
# sample's older installation ("0.9") and another consistent one ("0.8"), both
# made by tests/e2e.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_BASE "${UPDATER_TEST_RELEASES_DIR}/0.8" "${UPDATER_TEST_RELEASES_DIR}/0.9")
