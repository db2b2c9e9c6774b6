# The shared library must define, in its dynamic symbol table, exactly the functions that
# the public header declares: no internal symbol leaks out, no public function is missing.
#
#   cmake -DLIBRARY=<libtarvik.so...> -DHEADER=<tarvik.h> -DNM=<nm> -P CheckExports.cmake

cmake_policy(VERSION 3.25)

foreach(var IN ITEMS LIBRARY HEADER NM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckExports.cmake: ${var} is not set")
  endif()
endforeach()

# Declarations in the header start in the first column: "int ErrGet(int ...".
file(STRINGS ${HEADER} declarations REGEX "^[A-Za-z_][A-Za-z0-9_ ]*[ *][A-Za-z_][A-Za-z0-9_]*\\(")
list(TRANSFORM declarations REPLACE "^[^(]*[ *]([A-Za-z_][A-Za-z0-9_]*)\\(.*$" "\\1"
     OUTPUT_VARIABLE declared)
list(SORT declared)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" symbols "${symbols}")
list(TRANSFORM symbols REPLACE "^.* ([^ ]+)$" "\\1" OUTPUT_VARIABLE exported)
list(SORT exported)

if(NOT declared)
  message(FATAL_ERROR "No function declaration found in ${HEADER}")
endif()
if(NOT exported STREQUAL declared)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${declared})
  set(missing ${declared})
  list(REMOVE_ITEM missing ${exported})
  list(JOIN extra " " extra)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "${LIBRARY} exports what ${HEADER} does not declare: [${extra}]; "
                      "misses what it declares: [${missing}]")
endif()
list(JOIN exported " " exported)
message(STATUS "Exported: ${exported}")
