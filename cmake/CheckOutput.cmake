# Runs PROGRAM with the example configuration in CFG_DIR and compares its standard
# output with the transcript in EXPECTED. Date stamps are compared by form only, and
# with SORT_REPORTS the framed reports may come in any order (threads send them).
#
#   cmake -DPROGRAM=... -DCFG_DIR=... -DEXPECTED=... [-DSORT_REPORTS=ON] -P CheckOutput.cmake

foreach(var IN ITEMS PROGRAM CFG_DIR EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckOutput.cmake: ${var} is not set")
  endif()
endforeach()

set(ENV{TARVIK_CFG_DIR} "${CFG_DIR}")
unset(ENV{TARVIK_CFG_FILE})
unset(ENV{TARVIK_CFG_DIR_USER})
execute_process(COMMAND "${PROGRAM}" OUTPUT_VARIABLE actual RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} ended with ${status}; its output:\n${actual}")
endif()
file(READ "${EXPECTED}" expected)

# The stamp looks like 08-Dec-126 21:38:05 (day, month, years since 1900, time); the
# transcript holds <date> in its place.
set(month "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)")
string(REGEX REPLACE
       "==== TARVIK MESSAGE ==== [0-3][0-9]-${month}-[0-9][0-9][0-9]? [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n"
       "==== TARVIK MESSAGE ==== <date>\n" actual "${actual}")

# Reports end with a line of '=' and an empty line: cut there and sort the pieces.
function(sort_reports text out)
  string(REPLACE ";" "<semicolon>" text "${text}")
  string(REPLACE "========================\n\n" "========================\n\n;" pieces "${text}")
  list(SORT pieces)
  string(JOIN "" text ${pieces})
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
if(SORT_REPORTS)
  sort_reports("${actual}" actual)
  sort_reports("${expected}" expected)
endif()

if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "Output of ${PROGRAM} differs from ${EXPECTED}.\n"
                      "---- expected\n${expected}---- actual\n${actual}----")
endif()
