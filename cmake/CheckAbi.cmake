# The shared library's binary interface against the baseline kept in the repository.
#
#   cmake -DMODE=check|baseline -DLIBRARY=<libtarvik.so.N...> -DHEADER=<tarvik.h>
#         -DBASELINE=<abi/libtarvik.abi> -DSOURCE_DIR=<source tree> -DWORK_DIR=<dir>
#         -P CheckAbi.cmake
#
# abidw describes the library (its exported functions and the types of the public header,
# read from its debug information) and abidiff compares that with the baseline.
#   check     passes when nothing changed. Otherwise it fails with abidiff's report and
#             what to do: a compatible change (a function added) is recorded in the
#             baseline; an incompatible one (a function removed, a signature or a public
#             structure changed) needs a new SONAME, that is a new TARVIK_VERSION_MAJOR in
#             tarvik.h, and then a new baseline.
#   baseline  records the library's description as the baseline, but refuses an
#             incompatible change that keeps the baseline's SONAME.

cmake_policy(VERSION 3.25)

foreach(var IN ITEMS MODE LIBRARY HEADER BASELINE SOURCE_DIR WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckAbi.cmake: ${var} is not set")
  endif()
endforeach()
find_program(ABIDW abidw)
find_program(ABIDIFF abidiff)
if(NOT ABIDW OR NOT ABIDIFF)
  message(FATAL_ERROR "The ABI check needs abidw and abidiff: install abigail-tools (Debian, "
                      "Ubuntu) or libabigail (Fedora).")
endif()

file(MAKE_DIRECTORY ${WORK_DIR})
set(current ${WORK_DIR}/libtarvik.abi)
execute_process(COMMAND ${ABIDW} --header-file ${HEADER} --drop-private-types
                        --exported-interfaces-only --no-corpus-path --no-comp-dir-path
                        --no-show-locs --type-id-style hash ${LIBRARY}
                RESULT_VARIABLE status OUTPUT_VARIABLE description ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "abidw failed on ${LIBRARY}:\n${errors}")
endif()
# Source paths relative to the tree, so that the description is the same in any checkout.
string(REPLACE "path='${SOURCE_DIR}/" "path='" description "${description}")
file(WRITE ${current} "${description}")
if(NOT description MATCHES "<function-decl ")
  message(FATAL_ERROR "${LIBRARY} has no debug information, so its types cannot be compared: "
                      "build it with -g (build type RelWithDebInfo or Debug).")
endif()

# The SONAME that a description names.
function(soname_of text out)
  string(REGEX MATCH "soname='[^']*'" name "${text}")
  string(REGEX REPLACE "soname='([^']*)'" "\\1" name "${name}")
  set(${out} "${name}" PARENT_SCOPE)
endfunction()
soname_of("${description}" new_soname)

# Compares the baseline with the description; sets status (abidiff's: 0 when equal) and
# report. abidiff's status is a set of bits: 1 error, 2 usage error, 4 change, 8 change
# known to be incompatible.
function(compare out_status out_report)
  execute_process(COMMAND ${ABIDIFF} ${ARGN} ${BASELINE} ${current}
                  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(status GREATER_EQUAL 16 OR (status GREATER 0 AND status LESS 4))
    message(FATAL_ERROR "abidiff failed:\n${report}")
  endif()
  set(${out_status} ${status} PARENT_SCOPE)
  set(${out_report} "${report}" PARENT_SCOPE)
endfunction()

# Only added functions and variables are compatible: programs built against the
# baseline still find everything they use, as they knew it. abidiff flags a removal as
# incompatible but leaves a changed type to review, so every other change counts as
# incompatible here.
set(old_soname "")
set(changed 0)
set(incompatible 0)
if(EXISTS ${BASELINE})
  file(READ ${BASELINE} baseline_description)
  soname_of("${baseline_description}" old_soname)
  compare(changed report)
  if(changed)
    compare(incompatible ignored --no-added-syms)
  endif()
endif()
string(CONCAT record "record the baseline with `cmake --build <build dir> --target abi-baseline` "
                     "and commit ${BASELINE}")

if(MODE STREQUAL "baseline")
  if(incompatible AND new_soname STREQUAL old_soname)
    message(FATAL_ERROR "${new_soname}: incompatible change, not recorded. Raise "
                        "TARVIK_VERSION_MAJOR in tarvik.h first, or restore the interface.\n"
                        "${report}")
  endif()
  configure_file(${current} ${BASELINE} COPYONLY)
  message(STATUS "ABI baseline of ${new_soname} recorded in ${BASELINE}")
elseif(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "No ABI baseline ${BASELINE}: ${record}.")
elseif(NOT new_soname STREQUAL old_soname)
  message(FATAL_ERROR "The SONAME went from ${old_soname} to ${new_soname}, so incompatible "
                      "changes are allowed; the baseline still describes ${old_soname}: "
                      "${record}.")
elseif(incompatible)
  message(FATAL_ERROR "${new_soname}: incompatible ABI change. Raise TARVIK_VERSION_MAJOR in "
                      "tarvik.h (the SONAME follows it), or restore the interface.\n${report}")
elseif(changed)
  message(FATAL_ERROR "${new_soname}: compatible ABI change, not in the baseline yet: "
                      "${record}.\n${report}")
else()
  message(STATUS "ABI of ${new_soname}: as in ${BASELINE}")
endif()
