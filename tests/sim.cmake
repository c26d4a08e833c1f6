# The stand-in libraries (sim/): the virtual processor and its test double.
kx_add_gtest(sim_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sim_test.cpp LIBS dpmaster kxplat)
add_dependencies(sim_test ky_dll_variants)
target_include_directories(sim_test PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/sim/dpmaster)
target_compile_definitions(sim_test PRIVATE
  KX_TEST_EXAMPLE_CFG="${PROJECT_SOURCE_DIR}/examples/dpsim.cfg")
