# zelcli against the stand-in processor, as a user runs it.
find_program(KX_PYTHON NAMES python3 REQUIRED)
add_test(NAME zelcli
  COMMAND ${CMAKE_COMMAND} -DZELCLI=$<TARGET_FILE:zelcli> "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
          -DPYTHON=${KX_PYTHON} -P ${PROJECT_SOURCE_DIR}/cmake/check_zelcli.cmake)
set_tests_properties(zelcli PROPERTIES TIMEOUT 600)

# The manual pages: built from the help, each command in them, no roff warnings.
if(TARGET man_pages)
  add_test(NAME man_pages
    COMMAND ${CMAKE_COMMAND} -DMAN_DIR=${CMAKE_BINARY_DIR}/share/man/man1 -P ${PROJECT_SOURCE_DIR}/cmake/check_man.cmake)
endif()
