# Black-box tests through the exports of the built module.
kx_add_gtest(api_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/api_channel_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/api_job_test.cpp
  LIBS kalmorix_app dpmaster kxplat
  COPY kalmorix)
target_include_directories(api_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(api_test ky_dll_variants)
