# White-box tests: the module's core linked into the test program.
file(MAKE_DIRECTORY ${KX_TEST_KYDLL}/none)
kx_add_gtest(core_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/core_test.cpp
  LIBS kalmorix_core dpmaster kxplat)
target_include_directories(core_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(core_test ky_dll_variants)
