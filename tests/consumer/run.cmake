# Installs Tarvik from its build tree into a fresh prefix, then builds and runs two
# programs against that prefix only: the CMake project beside this script, and a C
# program compiled with the flags that pkg-config gives. Their outputs must match the
# transcripts in expected/.
#
#   cmake -DTARVIK_BUILD_DIR=... -DWORK_DIR=... -DLIBDIR=lib -DCC=... -DCXX=...
#         [-DSANITIZE=address,undefined] -P run.cmake

foreach(var IN ITEMS TARVIK_BUILD_DIR WORK_DIR LIBDIR CC CXX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run.cmake: ${var} is not set")
  endif()
endforeach()
set(here ${CMAKE_CURRENT_LIST_DIR})
set(prefix ${WORK_DIR}/prefix)
set(build ${WORK_DIR}/build)
set(check ${here}/../../cmake/CheckOutput.cmake)
# Instrumented libraries need the same instrumentation in the programs that use them.
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()

# Runs a command and stops with its output when it fails.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "${command}\nended with ${status}:\n${out}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${TARVIK_BUILD_DIR} --prefix ${prefix})

# find_package(Tarvik) and tarvik_add_catalogue, with nothing but the prefix to go on.
run(${CMAKE_COMMAND} -S ${here} -B ${build} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${flags} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${build})
set(catalogues ${build}/tarvik/shop.err)
run(${CMAKE_COMMAND} -DPROGRAM=${build}/shop -DCFG_DIR=${catalogues}
    -DEXPECTED=${here}/expected/shop.txt -P ${check})

# A C89 program linked by the C compiler with pkg-config's flags alone.
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs tarvik
                OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run(${CC} -std=c89 -pedantic ${flags} -I${catalogues} ${here}/plain.c ${pc_flags}
    -o ${WORK_DIR}/plain)
run(${CMAKE_COMMAND} -DPROGRAM=${WORK_DIR}/plain -DCFG_DIR=${catalogues}
    -DEXPECTED=${here}/expected/plain.txt -P ${check})
