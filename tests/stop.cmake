# Slow (each case waits out the 10 s stop wait): its own program, so that it
# runs beside the others.
kx_add_gtest(stop_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/stop_test.cpp
  LIBS kalmorix_core dpmaster kxplat)
target_include_directories(stop_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(stop_test ky_dll_variants)
