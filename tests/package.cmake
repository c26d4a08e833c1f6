# The installed package, used as users use it. Not in sanitizer builds: the
# consumer programs are built without the sanitizer runtime.
if(NOT KALMORIX_SANITIZE)
# The installed package, used as users use it.
add_test(NAME package
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DSOURCE=${PROJECT_SOURCE_DIR}
          -DWIN32=$<BOOL:${WIN32}> -P ${PROJECT_SOURCE_DIR}/cmake/check_package.cmake)
set_tests_properties(package PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
if(WIN32)
  # With KX_WIN32_RUN=0 it checks the ZIP and links its programs without
  # running them, for machines that cannot execute 32-bit programs.
  set_tests_properties(package PROPERTIES LABELS files)
endif()
endif()
