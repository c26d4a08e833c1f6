# Stress: all channels at once against the stand-in with stamped data, random
# delays and random faults (about 30 s; --duration=SECONDS for longer runs).
kx_add_gtest(stress_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/stress_test.cpp
  LIBS kalmorix_app dpmaster kxplat
  COPY kalmorix)
target_include_directories(stress_test PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/sim/dpmaster)
add_dependencies(stress_test ky_dll_variants)
