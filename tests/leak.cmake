# Open/close cycles of the module's core by the thousand: nothing may pile up.
# The census of handles, descriptors and threads comes from the platform
# layer's test support, built here without the fault table.
file(MAKE_DIRECTORY ${KX_TEST_KYDLL}/none)
kx_add_gtest(leak_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/leak_test.cpp
          ${PROJECT_SOURCE_DIR}/src/platform/fault_injection.cpp
  LIBS kalmorix_core dpmaster kxplat)
target_include_directories(leak_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
add_dependencies(leak_test ky_dll_variants)
