# Runs the gtest cases of `target` that match `filter` with a 3 MiB tmpfs
# mapped as Wine drive `letter` (set up and removed by ctest fixtures). The
# other cases are discovered without it, except those matching the patterns
# after ELSEWHERE, which the caller discovers itself. The cases on the drive
# hold a ctest resource lock so that only one uses it at a time: the drive's
# own, or the one after LOCK, which every case discovered here then holds
# (gtest discovery passes a property one value only).
#   updater_tests_on_tmpfs_drive(target filter letter [ELSEWHERE pattern...] [LOCK lock])
function(updater_tests_on_tmpfs_drive target filter letter)
  cmake_parse_arguments(PARSE_ARGV 3 ARG "" "LOCK" "ELSEWHERE")
  set(_script ${CMAKE_SOURCE_DIR}/tests/windows/tmpfs_drive.sh)
  set(_dir ${CMAKE_BINARY_DIR}/tmpfs-drive-${letter})
  set(_fixture tmpfs_drive_${letter})
  add_test(NAME ${_fixture}_up COMMAND sh ${_script} up ${_dir} ${letter})
  add_test(NAME ${_fixture}_down COMMAND sh ${_script} down ${_dir} ${letter})
  set_tests_properties(${_fixture}_up PROPERTIES FIXTURES_SETUP ${_fixture})
  set_tests_properties(${_fixture}_down PROPERTIES FIXTURES_CLEANUP ${_fixture})
  set(_elsewhere "${filter}")
  foreach(_pattern IN LISTS ARG_ELSEWHERE)
    string(APPEND _elsewhere ":${_pattern}")
  endforeach()
  set(_others "")
  set(_lock ${_fixture})
  if(ARG_LOCK)
    set(_others RESOURCE_LOCK ${ARG_LOCK})
    set(_lock ${ARG_LOCK})
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300 ${_others}
                       TEST_FILTER "-${_elsewhere}")
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_FILTER "${filter}"
                       PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED ${_fixture} RESOURCE_LOCK ${_lock})
endfunction()
