# The shared virtual processor: daemon, dpsim and programs through Kalmorix,
# as people run them (native; tools/test.sh adds a win32 program under Wine).
if(NOT WIN32)
  add_test(NAME daemon COMMAND bash ${PROJECT_SOURCE_DIR}/tools/daemon_test.sh ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(daemon PROPERTIES TIMEOUT 300 LABELS daemon)
endif()

kx_add_gtest(service_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/service_test.cpp
          ${PROJECT_SOURCE_DIR}/sim/wire/protocol.cpp ${PROJECT_SOURCE_DIR}/sim/wire/net.cpp
          ${PROJECT_SOURCE_DIR}/sim/wire/sha256.cpp ${PROJECT_SOURCE_DIR}/sim/wire/key.cpp)
target_include_directories(service_test PRIVATE ${PROJECT_SOURCE_DIR}/sim/wire)
if(WIN32)
  target_link_libraries(service_test PRIVATE ws2_32 bcrypt)
endif()
