# The sample title, without payload, with the languages the test gives
# (-DTEST_LANGUAGES=..., with commas for the list's semicolons; unset: the key
# is left out).
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_PAYLOAD "")
if(DEFINED TEST_LANGUAGES)
  string(REPLACE "," ";" UPDATER_LANGUAGES "${TEST_LANGUAGES}")
endif()
