# Loads and unloads the built module at run time (so it must not link it).
kx_add_gtest(unload_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unload_test.cpp
  LIBS dpmaster kxplat
  COPY kalmorix)
target_include_directories(unload_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
add_dependencies(unload_test ky_dll_variants kalmorix)
if(WIN32)
  target_compile_definitions(unload_test PRIVATE KX_MODULE_PATH="Kalmorix.dll")
else()
  target_compile_definitions(unload_test PRIVATE KX_MODULE_PATH="$<TARGET_FILE:kalmorix>")
  target_link_libraries(unload_test PRIVATE dl)
endif()

add_executable(exit_child ${CMAKE_CURRENT_SOURCE_DIR}/exit_child.cpp)
target_link_libraries(exit_child PRIVATE kalmorix_app dpmaster)
set_target_properties(exit_child PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KX_TEST_BIN})
add_dependencies(unload_test exit_child)
