# The Windows build needs host programs: samplegen, which makes the sample
# title's files, and recordlib, which builds record libraries, at configure
# time; payloadtool, which aligns each linked updater, at build time;
# signcheck, which checks a signed updater, when it signs. Either point
# UPDATER_HOST_TOOLS_DIR at a host build's bin folder or let this build them
# with the native compiler.
if(UPDATER_HOST_TOOLS_DIR)
  set(_tools_bin "${UPDATER_HOST_TOOLS_DIR}")
else()
  set(_tools_build "${CMAKE_BINARY_DIR}/host-tools")
  set(_tools_bin "${_tools_build}/bin")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${_tools_build}
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
            -DUPDATER_HOST_TOOLS_ONLY=ON -DUPDATER_BUILD_TESTS=OFF -DBUILD_TESTING=OFF
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "Configuring the host tools failed (${_rc})")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${_tools_build} --target host_tools -j 2
                  RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "Building the host tools failed (${_rc})")
  endif()
endif()
set(UPDATER_RECORDLIB "${_tools_bin}/recordlib")
set(UPDATER_SAMPLEGEN "${_tools_bin}/samplegen")
set(UPDATER_PAYLOADTOOL "${_tools_bin}/payloadtool")
# Looked for only where it is used: a host build made before it existed still serves unsigned builds.
set(UPDATER_SIGNCHECK "${_tools_bin}/signcheck")
foreach(_tool IN ITEMS ${UPDATER_RECORDLIB} ${UPDATER_SAMPLEGEN} ${UPDATER_PAYLOADTOOL})
  if(NOT EXISTS "${_tool}")
    message(FATAL_ERROR "Host tool missing: ${_tool}")
  endif()
endforeach()
file(GLOB_RECURSE _tool_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp ${CMAKE_SOURCE_DIR}/verify/*.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_tool_sources})

# The sample title: the update's new files and an older, equally consistent
# installation to update. Deterministic, so regenerating changes nothing.
set(UPDATER_SAMPLE_DIR "${CMAKE_BINARY_DIR}/sample")
execute_process(COMMAND ${UPDATER_SAMPLEGEN} --out ${UPDATER_SAMPLE_DIR}
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "Generating the sample title failed (${_rc})")
endif()
