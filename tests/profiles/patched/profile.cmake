# The sample title carried as patches from its older installation, the release
# players have ("0.9", made by tests/e2e).
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_BASE "${UPDATER_TEST_RELEASES_DIR}/0.9")
