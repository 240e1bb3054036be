# The kill test's title with its data files carried as patches from the older
# installation (made by tests/e2e under build/*/test-profiles/kill-patched):
# the kill test ends it at many points while patched files are made.
include(${CMAKE_SOURCE_DIR}/tests/profiles/kill/profile.cmake)
set(UPDATER_PAYLOAD_DIR "${UPDATER_KILL_PATCHED_PAYLOAD_DIR}")
set(UPDATER_BASE "${UPDATER_KILL_PATCHED_BASE_DIR}")
