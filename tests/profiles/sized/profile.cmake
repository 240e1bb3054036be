# One payload file, Data.pak, that the test makes in PAYLOAD_SIZE_DIR at the
# size it checks (a sparse file: only its size matters here).
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "Data.pak")
set(UPDATER_PAYLOAD_DIR "${PAYLOAD_SIZE_DIR}")
