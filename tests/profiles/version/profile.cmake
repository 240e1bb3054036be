# The sample title, without payload, with the version the test gives
# (-DTEST_VERSION=...).
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "")
set(UPDATER_VERSION "${TEST_VERSION}")
