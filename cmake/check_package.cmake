# Installs the build, then builds and runs the C example against the installed
# package the way users do:
#   native: through find_package(Kalmorix) and through pkg-config;
#   win32:  from the CPack ZIP, with MinGW against libKalmorix.dll.a, and
#           MSVC-style (lld-link against Kalmorix.lib) where clang is there;
#           with the environment's KX_WIN32_RUN=0 the programs are linked and
#           their import tables read, but not run.
#   cmake -DBUILD=... -DSOURCE=... -DWIN32=0|1 -P check_package.cmake
cmake_minimum_required(VERSION 3.25)
set(work ${BUILD}/package-check)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
set(ENV{DPSIM_TRACE} off)
set(ENV{WINEDEBUG} -all)

function(must)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Runs a win32 program unless this machine cannot execute 32-bit programs.
set(run_win32 TRUE)
if("$ENV{KX_WIN32_RUN}" STREQUAL "0")
  set(run_win32 FALSE)
endif()
function(run_win32_program what)
  if(NOT run_win32)
    message(STATUS "${what}: linked, NOT RUN (KX_WIN32_RUN=0)")
    set(out "" PARENT_SCOPE)
    return()
  endif()
  must(wine ${ARGN})
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_result out what)
  if(NOT out MATCHES "result of job 42: ResultCode 0, 24 bytes: 56 43 50 31")
    message(FATAL_ERROR "${what}: unexpected output:\n${out}")
  endif()
  message(STATUS "${what}: ok")
endfunction()

if(NOT WIN32)
  set(prefix ${work}/prefix)
  must(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
  # find_package(Kalmorix)
  must(${CMAKE_COMMAND} -S ${SOURCE}/tests/package -B ${work}/consumer -G Ninja
       -DCMAKE_PREFIX_PATH=${prefix} -DEXAMPLE_SOURCE=${SOURCE}/examples/c/zel_example.c)
  must(${CMAKE_COMMAND} --build ${work}/consumer)
  must(${work}/consumer/consumer VCP1 4)
  expect_result("${out}" "find_package(Kalmorix)")
  must(${work}/consumer/dpsim_probe)
  message(STATUS "Kalmorix::dpsim: ok")
  foreach(f share/doc/kalmorix/README.md share/doc/kalmorix/LICENSE share/doc/kalmorix/docs/interface.md
            share/doc/kalmorix/examples/c/zel_example.c lib/kalmorix/stand-in/README.md
            include/zel.h include/dpsim.h include/kalmorix/dpsim.h include/kalmorix_version.h
            lib/libkxplat.so.0 lib/kalmorix/stand-in/ky_dll.so)
    if(NOT EXISTS ${prefix}/${f})
      message(FATAL_ERROR "the installation lacks ${f}")
    endif()
  endforeach()
  # The headers side by side; the former place of dpsim.h still works.
  file(WRITE ${work}/forward.c "#include <kalmorix/dpsim.h>\n#include <zel.h>\n"
       "int main(void) { return DpSim_OpenDpHandles() < 0 || ZEL_get_errno() < 0; }\n")
  must(cc -fsyntax-only -I${prefix}/include ${work}/forward.c)
  # The module binds to a versioned platform layer.
  find_program(READELF readelf REQUIRED)
  must(${READELF} -d ${prefix}/lib/libkalmorix.so.0)
  if(NOT out MATCHES "\\[libkxplat\\.so\\.0\\]")
    message(FATAL_ERROR "libkalmorix.so.0 does not need libkxplat.so.0:\n${out}")
  endif()
  # The installed README names nothing that is not installed.
  file(READ ${prefix}/share/doc/kalmorix/README.md readme)
  if(readme MATCHES "tools/")
    message(FATAL_ERROR "the installed README refers to the repository's tools/")
  endif()
  # The companion comes from the stand-in folder, whatever the working
  # directory holds: zelcli fdl 26 succeeds from a folder with a broken one.
  file(MAKE_DIRECTORY ${work}/planted)
  file(WRITE ${work}/planted/ky_dll.so "not a library")
  execute_process(COMMAND ${prefix}/bin/zelcli fdl 26 WORKING_DIRECTORY ${work}/planted
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "installed zelcli fdl 26 from a folder with a ky_dll.so (${rc}):\n${out}${err}")
  endif()
  message(STATUS "headers, versions, README, companion search: ok")
  file(GLOB soname ${prefix}/lib/libkalmorix.so.[0-9])
  if(NOT soname OR EXISTS ${prefix}/examples)
    message(FATAL_ERROR "expected lib/libkalmorix.so.MAJOR and no examples/ at the prefix")
  endif()
  # pkg-config
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  find_program(PKG_CONFIG pkg-config REQUIRED)
  must(${PKG_CONFIG} --cflags --libs kalmorix dpsim)
  if(out MATCHES "/\\.\\./|//")
    message(FATAL_ERROR "pkg-config paths are not plain: ${out}")
  endif()
  string(STRIP "${out}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  must(cc ${SOURCE}/examples/c/zel_example.c ${flags} -o ${work}/pc_consumer)
  must(${work}/pc_consumer VCP1 4)
  expect_result("${out}" "pkg-config kalmorix")
else()
  must(cpack -G ZIP -B ${work} --config ${BUILD}/CPackConfig.cmake)
  file(GLOB zip ${work}/Kalmorix-*-win32.zip)
  must(${CMAKE_COMMAND} -E chdir ${work} ${CMAKE_COMMAND} -E tar xf ${zip})
  file(GLOB root LIST_DIRECTORIES true ${work}/Kalmorix-*-win32)
  foreach(f bin/Kalmorix.dll bin/zelcli.exe include/zel.h include/kalmorix_version.h
            lib/libKalmorix.dll.a lib/Kalmorix.def README.txt LICENSE CHANGELOG.md
            docs/interface.md stand-in/README.md stand-in/Kalmorix.dll stand-in/zelcli.exe stand-in/dpsim.exe
            stand-in/dpmaster.dll stand-in/ky_dll.dll stand-in/dpsim.cfg examples/c/zel_example.c
            include/dpsim.h lib/libdpmaster.dll.a)
    if(NOT EXISTS ${root}/${f})
      message(FATAL_ERROR "the ZIP lacks ${f}")
    endif()
  endforeach()
  if(EXISTS ${root}/bin/dpmaster.dll OR EXISTS ${root}/bin/ky_dll.dll)
    message(FATAL_ERROR "the stand-in libraries must not sit next to Kalmorix.dll")
  endif()
  # No program or library in the ZIP keeps debug sections.
  file(GLOB binaries ${root}/bin/*.exe ${root}/bin/*.dll ${root}/stand-in/*.exe ${root}/stand-in/*.dll)
  foreach(b IN LISTS binaries)
    must(i686-w64-mingw32-objdump -h ${b})
    if(out MATCHES "\\.debug_")
      message(FATAL_ERROR "${b} keeps debug sections")
    endif()
  endforeach()
  # README.txt: Windows line ends, and it names what the ZIP holds.
  # (file(READ) as text drops CRs: the bytes are compared, each LF after a CR.)
  file(READ ${root}/README.txt hex HEX)
  string(REGEX MATCHALL "[0-9a-f][0-9a-f]" bytes "${hex}")
  string(JOIN " " bytes ${bytes})
  string(REPLACE "0d 0a" "CRLF" bytes "${bytes}")
  if(bytes MATCHES "0a" OR NOT bytes MATCHES "CRLF")
    message(FATAL_ERROR "README.txt has a line end without CR")
  endif()
  file(READ ${root}/README.txt readme)
  foreach(name stand-in\\dpsim.exe include\\dpsim.h lib\\libdpmaster.dll.a)
    string(FIND "${readme}" "${name}" at)
    if(at LESS 0)
      message(FATAL_ERROR "README.txt does not name ${name}")
    endif()
  endforeach()
  # The stand-in folder runs as unpacked.
  run_win32_program("stand-in/zelcli.exe from the ZIP" ${root}/stand-in/zelcli.exe read 4)
  if(run_win32 AND NOT out MATCHES "VCP1 slave 4")
    message(FATAL_ERROR "stand-in/zelcli.exe read 4:\n${out}")
  endif()
  # An application directory as a developer makes it: the DLL, and for a
  # run without hardware the stand-in libraries.
  set(app ${work}/app)
  file(MAKE_DIRECTORY ${app})
  file(COPY ${root}/bin/Kalmorix.dll ${root}/stand-in/dpmaster.dll ${root}/stand-in/ky_dll.dll
       DESTINATION ${app})
  must(i686-w64-mingw32-gcc -Wall -I${root}/include ${SOURCE}/examples/c/zel_example.c
       ${root}/lib/libKalmorix.dll.a -o ${app}/mingw_example.exe)
  must(i686-w64-mingw32-objdump -p ${app}/mingw_example.exe)
  if(NOT out MATCHES "DLL Name: Kalmorix.dll")
    message(FATAL_ERROR "MinGW program does not import Kalmorix.dll:\n${out}")
  endif()
  run_win32_program("MinGW program against libKalmorix.dll.a" ${app}/mingw_example.exe VCP1 4)
  if(run_win32)
    expect_result("${out}" "MinGW program against libKalmorix.dll.a")
  endif()

  # An application's test that scripts the stand-in: dpsim.h and the import
  # library of dpmaster.dll from the ZIP.
  must(i686-w64-mingw32-gcc -Wall -I${root}/include ${SOURCE}/tests/package/dpsim_probe.c
       ${root}/lib/libKalmorix.dll.a ${root}/lib/libdpmaster.dll.a -o ${app}/dpsim_probe.exe)
  must(i686-w64-mingw32-objdump -p ${app}/dpsim_probe.exe)
  if(NOT out MATCHES "DLL Name: dpmaster.dll" OR NOT out MATCHES "DpSim_SetSlave")
    message(FATAL_ERROR "the test program does not import DpSim_SetSlave from dpmaster.dll:\n${out}")
  endif()
  run_win32_program("MinGW test program against libdpmaster.dll.a" ${app}/dpsim_probe.exe)
  if(run_win32 AND NOT out MATCHES "dpsim probe: 340 bytes: probe")
    message(FATAL_ERROR "dpsim_probe.exe:\n${out}")
  endif()
  message(STATUS "MinGW test program against dpsim.h and libdpmaster.dll.a: ok")

  find_program(CLANG NAMES clang clang-14)
  find_program(LLD_LINK NAMES lld-link lld-link-14)
  if(CLANG AND LLD_LINK AND EXISTS ${root}/lib/Kalmorix.lib)
    must(${CLANG} --target=i686-pc-windows-msvc -ffreestanding -I${root}/include -c
         ${SOURCE}/tests/package/msvc_probe.c -o ${work}/msvc_probe.obj)
    must(${LLD_LINK} /entry:probe_entry@0 /subsystem:console /nodefaultlib
         ${work}/msvc_probe.obj ${root}/lib/Kalmorix.lib /out:${app}/msvc_probe.exe)
    must(i686-w64-mingw32-objdump -p ${app}/msvc_probe.exe)
    if(NOT out MATCHES "DLL Name: Kalmorix.dll\n[^\n]*\n[^\n]*ZEL_close\n[^\n]*ZEL_open\n")
      message(FATAL_ERROR "MSVC-style program does not import ZEL_open from Kalmorix.dll:\n${out}")
    endif()
    run_win32_program("MSVC-style program against Kalmorix.lib" ${app}/msvc_probe.exe)
    if(run_win32)
      message(STATUS "MSVC-style program against Kalmorix.lib: ok")
    endif()
  else()
    message(STATUS "MSVC-style link skipped: clang, lld-link or Kalmorix.lib missing")
  endif()
endif()
