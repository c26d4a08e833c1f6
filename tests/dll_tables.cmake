if(WIN32)
  find_program(KX_OBJDUMP NAMES ${CMAKE_OBJDUMP} i686-w64-mingw32-objdump REQUIRED)
  add_test(NAME dll_tables
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${KX_OBJDUMP} -DDLL=$<TARGET_FILE:kalmorix>
            -DDPMASTER=${KALMORIX_DPMASTER_DLL} -P ${PROJECT_SOURCE_DIR}/cmake/check_dll_tables.cmake)
endif()
