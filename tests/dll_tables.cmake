if(WIN32)
  find_program(KX_OBJDUMP NAMES ${CMAKE_OBJDUMP} i686-w64-mingw32-objdump REQUIRED)
  # The shipped (stripped) DLL stays small; a Debug build keeps its symbols.
  set(kx_max_size 0)
  if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(kx_max_size 65536)
  endif()
  add_test(NAME dll_tables
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${KX_OBJDUMP} -DDLL=$<TARGET_FILE:kalmorix> -DMAX_SIZE=${kx_max_size}
            -DDPMASTER=${KALMORIX_DPMASTER_DLL} -P ${PROJECT_SOURCE_DIR}/cmake/check_dll_tables.cmake)
  # Reads files only: runs where 32-bit programs cannot (tools/test.sh).
  set_tests_properties(dll_tables PROPERTIES LABELS files)
endif()
