# Installation and packages.
#   win32:  cmake --install (or cpack -G ZIP): bin/Kalmorix.dll, bin/zelcli.exe,
#           include/zel.h, lib/libKalmorix.dll.a (MinGW), lib/Kalmorix.lib (MSVC),
#           lib/Kalmorix.def, examples/, and the stand-in libraries apart in
#           stand-in/ so that nobody ships them next to an application by mistake.
#   native: lib/libkalmorix.so with libkxplat.so, include/zel.h, a CMake package
#           (find_package(Kalmorix)), a pkg-config file (kalmorix.pc), bin/zelcli,
#           and the stand-in libraries in lib/kalmorix/stand-in.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/include/zel.h ${PROJECT_BINARY_DIR}/include/kalmorix_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/c ${PROJECT_SOURCE_DIR}/examples/python
  DESTINATION examples)
if(WIN32)
  set(stand_in_dir stand-in)
else()
  set(stand_in_dir ${CMAKE_INSTALL_LIBDIR}/kalmorix/stand-in)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/examples/dpsim.cfg ${PROJECT_SOURCE_DIR}/sim/README.md
  DESTINATION ${stand_in_dir})

if(WIN32)
  install(FILES $<TARGET_FILE:kalmorix> DESTINATION bin)
  install(TARGETS zelcli RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_BINARY_DIR}/lib/libKalmorix.dll.a ${PROJECT_SOURCE_DIR}/include/Kalmorix.def
    DESTINATION lib)
  if(KX_LLVM_DLLTOOL)
    install(FILES ${CMAKE_BINARY_DIR}/lib/Kalmorix.lib DESTINATION lib)
  endif()
  install(FILES $<TARGET_FILE:dpmaster> $<TARGET_FILE:ky_dll> DESTINATION ${stand_in_dir})

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Kalmorix)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEL job interface on a PROFIBUS communications processor")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
else()
  # The module finds its DP master library (and the platform layer its
  # companion) through the library path first, then next to itself, then in
  # the stand-in folder: a vendor library on the path takes precedence.
  set_target_properties(kalmorix kxplat PROPERTIES
    INSTALL_RPATH "$ORIGIN;$ORIGIN/kalmorix/stand-in")
  set_target_properties(zelcli PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN/../${stand_in_dir}")
  set_target_properties(dpmaster PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
  set_target_properties(ky_dll PROPERTIES INSTALL_RPATH "$ORIGIN")

  install(TARGETS kalmorix kxplat EXPORT KalmorixTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS zelcli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS dpmaster ky_dll LIBRARY DESTINATION ${stand_in_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/sim/include/dpsim.h DESTINATION ${stand_in_dir})

  install(EXPORT KalmorixTargets NAMESPACE Kalmorix::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kalmorix)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KalmorixConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KalmorixConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kalmorix)
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KalmorixConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KalmorixConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/KalmorixConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Kalmorix)

  file(RELATIVE_PATH KX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kalmorix.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kalmorix.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalmorix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
