# Failure paths of the module: its core built with the platform layer's fault
# injection (kalmorix_core_faults), so the fault table lives in this program.
file(MAKE_DIRECTORY ${KX_TEST_KYDLL}/none)
kx_add_gtest(fault_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fault_test.cpp
  LIBS kalmorix_core_faults dpmaster kxplat)
target_include_directories(fault_test PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/sim/dpmaster)
add_dependencies(fault_test ky_dll_variants)
