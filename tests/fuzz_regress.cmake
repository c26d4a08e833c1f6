# The fuzz targets' inputs replayed through their harnesses on every build:
# the seed corpora and the inputs with which a fuzzer found a fault. The
# worker harness needs the POSIX platform layer (it takes over two of its
# waits), so under Windows only the API inputs are replayed.
set(KX_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
set(kx_fuzz_regress_sources ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_regress_test.cpp
  ${KX_FUZZ_DIR}/api_harness.cpp)
if(NOT WIN32)
  list(APPEND kx_fuzz_regress_sources ${KX_FUZZ_DIR}/worker_harness.cpp
    ${KX_FUZZ_DIR}/worker_clock.cpp)
endif()
kx_add_gtest(fuzz_regress_test
  SOURCES ${kx_fuzz_regress_sources}
  LIBS kalmorix_core dpmaster kxplat ${CMAKE_DL_LIBS})
target_include_directories(fuzz_regress_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${KX_FUZZ_DIR})
target_compile_definitions(fuzz_regress_test PRIVATE KX_FUZZ_DIR="${KX_FUZZ_DIR}")
add_dependencies(fuzz_regress_test ky_dll_variants)
