# Builds and runs programs against an installed Tarvik alone: the CMake project beside
# this script (shop links Tarvik::tarvik, shop_static the static library) and a C89
# program compiled with pkg-config's flags, linked once as `pkg-config --libs` gives it
# (the shared library when installed) and once statically (`--static`, the archive).
# Every program's output must match the transcripts in expected/, whichever library it
# runs, and no C program may need the C++ runtime.
#
# Where the installation comes from:
#   -DTARVIK_BUILD_DIR=<dir> -DLIBDIR=<its libdir>
#       installed from that build tree with --prefix, then moved elsewhere: the CMake
#       and pkg-config files must work wherever the tree lies;
#   -DTARVIK_SOURCE_DIR=<dir> -DLIBDIR=<libdir>
#       configured and built afresh as a packager does (shared library, no tests, no
#       examples, no GoogleTest) with that libdir, relative of any depth or absolute.
#       A relative one is installed with --prefix and moved; an absolute one is installed
#       into the configured prefix. Also checks the build switches on the way;
#   -DSYSTEM=ON
#       already installed in the system's paths (the Debian packages): no prefix at all.
#
#   cmake <one of the above> -DWORK_DIR=... -DCC=... -DCXX=... [-DSHARED=ON]
#         [-DSANITIZE=address,undefined | -DCOVERAGE=ON] [-DCROSS=ON] [-DGENERATOR=...] -P run.cmake
#
# SHARED: the shared library must be installed (always so from sources and the system).
# CROSS: also builds the CMake project as a cross-compiling one, whose catalogues are
# compiled by the TarvikCompile that TARVIK_COMPILE_EXECUTABLE names.

cmake_policy(VERSION 3.25)

foreach(var IN ITEMS WORK_DIR CC CXX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run.cmake: ${var} is not set")
  endif()
endforeach()
set(here ${CMAKE_CURRENT_LIST_DIR})
set(check ${here}/../../cmake/CheckOutput.cmake)
# Instrumented libraries need the same instrumentation in the programs that use them.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
elseif(COVERAGE)
  set(flags "--coverage")
endif()
if(NOT GENERATOR)
  set(GENERATOR "Unix Makefiles")
endif()

# Runs a command and stops with its output when it fails.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "${command}\nended with ${status}:\n${out}")
  endif()
endfunction()

# Runs a command that must fail with a message matching pattern.
function(run_fails pattern)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(JOIN " " command ${ARGN})
  if(status EQUAL 0)
    message(FATAL_ERROR "${command}\nsucceeded; it should have failed with \"${pattern}\"")
  endif()
  string(REGEX REPLACE "[ \n]+" " " flat "${out}")
  if(NOT flat MATCHES "${pattern}")
    message(FATAL_ERROR "${command}\nfailed without \"${pattern}\":\n${out}")
  endif()
endfunction()

# Checks the shared libraries that an ELF file needs: libtarvik.so.<n> if and only if
# with_tarvik, and never the C++ runtime when without_cxx.
function(check_needed file with_tarvik without_cxx)
  execute_process(COMMAND readelf -d ${file} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${dynamic}")
  if(with_tarvik AND NOT needed MATCHES "libtarvik\\.so\\.[0-9]+\\]")
    message(FATAL_ERROR "${file} does not use the shared library:\n${needed}")
  elseif(NOT with_tarvik AND needed MATCHES "libtarvik")
    message(FATAL_ERROR "${file} should not use the shared library:\n${needed}")
  elseif(without_cxx AND needed MATCHES "libstdc\\+\\+|libc\\+\\+")
    message(FATAL_ERROR "${file} needs the C++ runtime:\n${needed}")
  endif()
endfunction()

# Installs a built tree into a fresh prefix, moves it, and sets prefix and libdir.
macro(install_moved build_dir)
  run(${CMAKE_COMMAND} --install ${build_dir} --prefix ${WORK_DIR}/installed)
  file(RENAME ${WORK_DIR}/installed ${WORK_DIR}/prefix)
  set(prefix ${WORK_DIR}/prefix)
  set(libdir ${prefix}/${LIBDIR})
endmacro()

file(REMOVE_RECURSE ${WORK_DIR})
if(SYSTEM)
  set(SHARED ON)
  set(prefix "")
elseif(DEFINED TARVIK_SOURCE_DIR)
  set(SHARED ON)
  set(tarvik ${WORK_DIR}/tarvik)
  set(configure ${CMAKE_COMMAND} -S ${TARVIK_SOURCE_DIR} -B ${tarvik} -G ${GENERATOR}
      -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Debug
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DTARVIK_BUILD_EXAMPLES=OFF
      -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX=${WORK_DIR}/configured
      -DCMAKE_INSTALL_LIBDIR=${LIBDIR})
  # Tests wanted without GoogleTest: one message says what to install. Tests off: no need.
  run_fails("install it \\(libgtest-dev" ${configure} -DBUILD_TESTING=ON)
  run(${configure} -DBUILD_TESTING=OFF)
  # Installing a partial build says what is missing and how to build it.
  run(${CMAKE_COMMAND} --build ${tarvik} --target tarvik)
  run_fails("Not built yet: libtarvik\\.so.*cmake --build" ${CMAKE_COMMAND} --install ${tarvik})
  run(${CMAKE_COMMAND} --build ${tarvik} --parallel 2)
  if(IS_ABSOLUTE ${LIBDIR})
    run(${CMAKE_COMMAND} --install ${tarvik})
    set(prefix ${WORK_DIR}/configured)
    set(libdir ${LIBDIR})
  else()
    install_moved(${tarvik})
  endif()
elseif(DEFINED TARVIK_BUILD_DIR)
  install_moved(${TARVIK_BUILD_DIR})
else()
  message(FATAL_ERROR "run.cmake: set TARVIK_BUILD_DIR, TARVIK_SOURCE_DIR or SYSTEM")
endif()
if(SHARED AND prefix)
  file(GLOB shared_library ${libdir}/libtarvik.so.*.*.*)
  check_needed(${shared_library} OFF ON)
endif()

# find_package(Tarvik) and tarvik_add_catalogue, with nothing but the prefix to go on.
set(consumer ${WORK_DIR}/consumer)
set(consumer_configure ${CMAKE_COMMAND} -S ${here} -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_CXX_FLAGS=${flags} -DCMAKE_BUILD_TYPE=Release)
if(prefix)
  list(APPEND consumer_configure -DCMAKE_PREFIX_PATH=${prefix})
endif()
# A libdir outside the prefix holds the package files too: find_package needs telling.
if(IS_ABSOLUTE "${LIBDIR}")
  list(APPEND consumer_configure -DTarvik_DIR=${libdir}/cmake/Tarvik)
endif()
run(${consumer_configure} -B ${consumer})
run(${CMAKE_COMMAND} --build ${consumer})
set(catalogues ${consumer}/tarvik/shop.err)
foreach(program IN ITEMS shop shop_static)
  run(${CMAKE_COMMAND} -DPROGRAM=${consumer}/${program} -DCFG_DIR=${catalogues}
      -DEXPECTED=${here}/expected/shop.txt -P ${check})
endforeach()
check_needed(${consumer}/shop "${SHARED}" OFF)
check_needed(${consumer}/shop_static OFF OFF)

# The same project as a cross-compiling one: the installed TarvikCompile counts as built
# for another machine, so tarvik_add_catalogue wants one for this machine, and runs it.
if(CROSS)
  file(WRITE ${WORK_DIR}/toolchain.cmake "set(CMAKE_SYSTEM_NAME Linux)\n")
  set(cross_configure ${consumer_configure} -B ${WORK_DIR}/cross
      -DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/toolchain.cmake)
  run_fails("cross-compiling.*set TARVIK_CHECK_EXECUTABLE" ${cross_configure})
  run_fails("cross-compiling.*set TARVIK_COMPILE_EXECUTABLE" ${cross_configure}
            -DTARVIK_CHECK_EXECUTABLE=${prefix}/bin/TarvikCheck)
  # Host programs that note each run, then run the installed ones.
  foreach(program IN ITEMS TarvikCompile TarvikCheck)
    file(WRITE ${WORK_DIR}/host/${program}
         "#!/bin/sh\necho \"${program} $@\" >> ${WORK_DIR}/host/runs\n"
         "exec ${prefix}/bin/${program} \"$@\"\n")
    file(CHMOD ${WORK_DIR}/host/${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endforeach()
  file(REMOVE_RECURSE ${WORK_DIR}/cross)
  run(${cross_configure} -DTARVIK_COMPILE_EXECUTABLE=${WORK_DIR}/host/TarvikCompile
      -DTARVIK_CHECK_EXECUTABLE=${WORK_DIR}/host/TarvikCheck)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/cross --target shop)
  file(READ ${WORK_DIR}/host/runs runs)
  if(NOT runs MATCHES "TarvikCheck --source [^\n]*shop\\.err" OR
     NOT runs MATCHES "TarvikCompile [^\n]*shop\\.err")
    message(FATAL_ERROR "The host programs did not check and compile shop.err: ${runs}")
  endif()
  run(${CMAKE_COMMAND} -DPROGRAM=${WORK_DIR}/cross/shop -DCFG_DIR=${WORK_DIR}/cross/tarvik/shop.err
      -DEXPECTED=${here}/expected/shop.txt -P ${check})
endif()

# A C89 program linked by the C compiler with pkg-config's flags alone.
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
if(prefix)
  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  # The programs linked with the shared library find it through the environment.
  set(ENV{LD_LIBRARY_PATH} ${libdir})
else()
  unset(ENV{PKG_CONFIG_PATH})
endif()
function(pkg_config out)
  execute_process(COMMAND ${PKG_CONFIG} ${ARGN} tarvik OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(value UNIX_COMMAND "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
pkg_config(cflags --cflags)
pkg_config(libs --libs)
pkg_config(libs_static --libs --static)
if(NOT libs_static MATCHES "-lpthread")
  message(FATAL_ERROR "pkg-config --static gives no -lpthread: ${libs_static}")
endif()
# In the system's directories the flags come down to the library's name.
if(SYSTEM AND NOT (cflags STREQUAL "" AND libs STREQUAL "-ltarvik"))
  message(FATAL_ERROR "pkg-config gives \"${cflags}\" \"${libs}\" rather than \"\" \"-ltarvik\"")
endif()
list(TRANSFORM libs_static REPLACE "^-ltarvik$" "-l:libtarvik.a")
foreach(variant IN ITEMS "" _static)
  set(program ${WORK_DIR}/plain${variant})
  run(${CC} -std=c89 -pedantic ${flags} ${cflags} -I${catalogues} ${here}/plain.c ${libs${variant}}
      -o ${program})
  run(${CMAKE_COMMAND} -DPROGRAM=${program} -DCFG_DIR=${catalogues}
      -DEXPECTED=${here}/expected/plain.txt -P ${check})
endforeach()
check_needed(${WORK_DIR}/plain "${SHARED}" ON)
check_needed(${WORK_DIR}/plain_static OFF ON)
