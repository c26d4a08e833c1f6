# The platform layer: the same test runs natively against the emulation and
# under Wine against Win32, so that both are held to the same behaviour.
kx_add_gtest(platform_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/platform_test.cpp LIBS kxplat)

# Libraries for the loading tests, built from the test source itself. The one
# next to the program must win over its namesake in the working directory,
# which only Windows searches; platform_cwd/ is where the test moves its
# working directory to.
set(KX_PLATFORM_PROBES
    "kxplat_probe\;kxplat_probe\;1\;${KX_TEST_BIN}"
    "kxplat_probe_shadow\;kxplat_probe\;2\;${KX_TEST_BIN}/platform_cwd"
    "kxplat_probe_cwd\;kxplat_probe_cwd\;3\;${KX_TEST_BIN}/platform_cwd")
foreach(probe IN LISTS KX_PLATFORM_PROBES)
  list(GET probe 0 target)
  list(GET probe 1 output)
  list(GET probe 2 answer)
  list(GET probe 3 dir)
  add_library(${target} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/platform_test.cpp)
  target_compile_definitions(${target} PRIVATE KX_PLATFORM_PROBE_LIBRARY=${answer})
  target_link_libraries(${target} PRIVATE kxplat)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${output}
    LIBRARY_OUTPUT_DIRECTORY ${dir}
    RUNTIME_OUTPUT_DIRECTORY ${dir})
  add_dependencies(platform_test ${target})
endforeach()
if(NOT WIN32)
  # A companion planted in the working directory, which must never run.
  add_library(kxplat_planted MODULE ${CMAKE_CURRENT_SOURCE_DIR}/platform_test.cpp)
  target_compile_definitions(kxplat_planted PRIVATE KX_PLATFORM_PROBE_LIBRARY=4
    KX_PLATFORM_PROBE_MARKER="planted_ran")
  target_link_libraries(kxplat_planted PRIVATE kxplat)
  set_target_properties(kxplat_planted PROPERTIES PREFIX "" OUTPUT_NAME ky_dll
    LIBRARY_OUTPUT_DIRECTORY ${KX_TEST_BIN}/platform_cwd)
  add_dependencies(platform_test kxplat_planted ky_dll)
  target_compile_definitions(platform_test PRIVATE KX_TEST_BUILD_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
endif()
