# Installation and packages.
#   win32:  cmake --install (or cpack -G ZIP): README.txt, LICENSE, CHANGELOG.md,
#           docs/, bin/Kalmorix.dll and bin/zelcli.exe (for the vendor's DP master
#           library), include/, lib/libKalmorix.dll.a (MinGW), lib/Kalmorix.lib
#           (MSVC), lib/Kalmorix.def, include/dpsim.h with lib/libdpmaster.dll.a
#           (the stand-in's test interface), examples/, and stand-in/: the module and
#           zelcli and dpsim (the daemon and its command) with the stand-in
#           libraries, which runs as unpacked and keeps
#           the stand-ins apart, so that nobody ships them with an application.
#   native: lib/libkalmorix.so.MAJOR with libkxplat.so.MAJOR, include/zel.h and
#           include/dpsim.h (include/kalmorix/dpsim.h forwards to it), a CMake
#           package (find_package(Kalmorix): Kalmorix::kalmorix, Kalmorix::dpsim),
#           pkg-config files (kalmorix.pc, dpsim.pc), bin/zelcli, bin/dpsim, the stand-in
#           libraries in lib/kalmorix/stand-in, and the documentation (README.md
#           from docs/README-linux.md) and examples in share/doc/kalmorix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The headers side by side: zel.h and the stand-in's dpsim.h.
install(FILES ${PROJECT_SOURCE_DIR}/include/zel.h ${PROJECT_BINARY_DIR}/include/kalmorix_version.h
        ${PROJECT_SOURCE_DIR}/sim/include/dpsim.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  set(stand_in_dir stand-in)
  set(doc_dir .)
  # README.txt with Windows line ends, for Notepad and its kin.
  configure_file(${PROJECT_SOURCE_DIR}/docs/README-win32.txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
else()
  set(stand_in_dir ${CMAKE_INSTALL_LIBDIR}/kalmorix/stand-in)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kalmorix)
  # The repository's README is about building; the install gets its own.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/README-linux.md DESTINATION ${doc_dir} RENAME README.md)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION ${doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/docs/interface.md ${PROJECT_SOURCE_DIR}/docs/stand-in.md
  DESTINATION ${doc_dir}/docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/c ${PROJECT_SOURCE_DIR}/examples/python
  DESTINATION ${doc_dir}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/dpsim.cfg DESTINATION ${doc_dir}/examples)
# The stand-in's folder carries the users' README of the stand-in.
install(FILES ${PROJECT_SOURCE_DIR}/examples/dpsim.cfg DESTINATION ${stand_in_dir})
install(FILES ${PROJECT_SOURCE_DIR}/docs/stand-in.md DESTINATION ${stand_in_dir} RENAME README.md)

if(WIN32)
  install(FILES $<TARGET_FILE:kalmorix> DESTINATION bin)
  install(TARGETS zelcli RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_BINARY_DIR}/lib/libKalmorix.dll.a ${PROJECT_SOURCE_DIR}/include/Kalmorix.def
    DESTINATION lib)
  if(KX_LLVM_DLLTOOL)
    install(FILES ${CMAKE_BINARY_DIR}/lib/Kalmorix.lib DESTINATION lib)
  endif()
  # stand-in/ runs as unpacked: the module and zelcli beside the stand-in
  # libraries. bin/ has no DP master library: the vendor's goes there.
  install(FILES $<TARGET_FILE:dpmaster> $<TARGET_FILE:ky_dll> $<TARGET_FILE:kalmorix>
    DESTINATION ${stand_in_dir})
  install(TARGETS zelcli dpsim RUNTIME DESTINATION ${stand_in_dir})
  # The stand-in's test interface for an application's own tests: dpsim.h
  # (in include/) and the import library of dpmaster.dll, by name.
  install(FILES $<TARGET_LINKER_FILE:dpmaster> DESTINATION lib)
  # Everything shipped without debug sections, as Kalmorix.dll already is.
  if(CMAKE_STRIP)
    install(CODE "foreach(f bin/zelcli.exe ${stand_in_dir}/zelcli.exe ${stand_in_dir}/dpsim.exe
        ${stand_in_dir}/dpmaster.dll ${stand_in_dir}/ky_dll.dll)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${f}\"
        RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR \"could not strip \${f}\")
      endif()
    endforeach()")
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Kalmorix)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEL job interface on a PROFIBUS communications processor")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The ZIP and cpack's work files go into the build tree, wherever cpack runs.
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
  include(CPack)
else()
  # The module finds its DP master library (and the platform layer its
  # companion) through the library path first, then next to itself, then in
  # the stand-in folder: a vendor library on the path takes precedence.
  set_target_properties(kalmorix kxplat PROPERTIES
    INSTALL_RPATH "$ORIGIN;$ORIGIN/kalmorix/stand-in")
  set_target_properties(zelcli dpsim PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN/../${stand_in_dir}")
  set_target_properties(dpmaster PROPERTIES INSTALL_RPATH "$ORIGIN/../.." EXPORT_NAME dpsim)
  set_target_properties(ky_dll PROPERTIES INSTALL_RPATH "$ORIGIN")

  install(TARGETS kalmorix kxplat EXPORT KalmorixTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS zelcli dpsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The stand-in's test interface, for applications' own tests: Kalmorix::dpsim.
  install(TARGETS dpmaster EXPORT KalmorixTargets
    LIBRARY DESTINATION ${stand_in_dir}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(TARGETS ky_dll LIBRARY DESTINATION ${stand_in_dir})
  # Where dpsim.h used to be installed, for applications that include it from there.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/dpsim_forward.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kalmorix RENAME dpsim.h)

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

  # pkg-config files with the prefix that the install really goes to (known
  # only then: cmake --install --prefix), so their paths are plain.
  set(KX_PREFIX "@KX_PREFIX@")
  set(KX_STAND_IN_DIR ${stand_in_dir})
  foreach(pc kalmorix dpsim)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc.in @ONLY)
    install(CODE "get_filename_component(KX_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
      set(kx_pc \"\$ENV{DESTDIR}\${KX_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${pc}.pc\")
      configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc.in\" \"\${kx_pc}\" @ONLY)
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${kx_pc}\")
      message(STATUS \"Installing: \${kx_pc}\")")
  endforeach()
endif()
