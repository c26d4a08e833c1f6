# The stand-in libraries (sim/): the virtual processor and its test double.
kx_add_gtest(sim_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sim_test.cpp LIBS dpmaster kxplat)
add_dependencies(sim_test ky_dll_variants)
target_include_directories(sim_test PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/sim/dpmaster)
target_compile_definitions(sim_test PRIVATE
  KX_TEST_EXAMPLE_CFG="${PROJECT_SOURCE_DIR}/examples/dpsim.cfg")

# fork() after a submission, with a bus delay (see fork_child.cpp).
if(NOT WIN32)
  add_executable(fork_child ${CMAKE_CURRENT_SOURCE_DIR}/fork_child.cpp)
  target_include_directories(fork_child PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(fork_child PRIVATE dpmaster kxplat)
  set_target_properties(fork_child PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KX_TEST_BIN})
  # ThreadSanitizer cannot start threads in the child of a threaded process.
  if(NOT KALMORIX_SANITIZE MATCHES "thread")
    add_test(NAME fork COMMAND fork_child)
    set_tests_properties(fork PROPERTIES TIMEOUT 60 ENVIRONMENT "DPSIM_DELAY_US=200000;DPSIM_SERVER=off")
  endif()
endif()
