# Black-box tests through the exports of the built module.
kx_add_gtest(api_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/api_channel_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/api_job_test.cpp
  LIBS kalmorix_app dpmaster kxplat
  COPY kalmorix)
target_include_directories(api_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(api_test ky_dll_variants)
target_compile_definitions(api_test PRIVATE KX_VERSION="${PROJECT_VERSION}"
  KX_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} KX_VERSION_MINOR=${PROJECT_VERSION_MINOR}
  KX_VERSION_PATCH=${PROJECT_VERSION_PATCH})
if(WIN32)
  target_link_libraries(api_test PRIVATE version)
endif()

kx_add_gtest(attribution_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/attribution_test.cpp
  LIBS kalmorix_app dpmaster kxplat
  COPY kalmorix)
target_include_directories(attribution_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(attribution_test ky_dll_variants)
