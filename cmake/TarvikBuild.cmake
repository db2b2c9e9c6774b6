# Compiler settings shared by every target of the project.

# Warnings on for the project's own code; -Werror is left to the presets so that a
# newer compiler's new warning never breaks a user's build.
add_compile_options(-Wall -Wextra)

# Sanitizers apply to every object and link of the tree, the test support included,
# so that instrumented and uninstrumented code never mix.
if(TARVIK_SANITIZE)
  list(JOIN TARVIK_SANITIZE "," _tarvik_sanitizers)
  add_compile_options(-fsanitize=${_tarvik_sanitizers} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_tarvik_sanitizers})
endif()

# The library's own objects: no exceptions and no RTTI, so that the library needs
# nothing of the C++ runtime and C programs link it with the C compiler alone. Under
# clang's UndefinedBehaviorSanitizer that holds only without its function-type check,
# whose handler and type data come from the C++ runtime (gcc has no such check).
set(TARVIK_LIBRARY_OPTIONS -fno-exceptions -fno-rtti)
if("undefined" IN_LIST TARVIK_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND TARVIK_LIBRARY_OPTIONS -fno-sanitize=function)
endif()

find_package(Threads REQUIRED)

# The fuzz targets link libFuzzer themselves; every other object of the tree is
# instrumented for it, so that coverage reaches into the library and the compiler, and
# every other program links the runtime that the instrumentation calls.
if(TARVIK_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TARVIK_BUILD_FUZZERS needs clang (the \"fuzz\" preset selects it)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
endif()

# Coverage (gcc): every object and link of the tree, programs run by the tests included,
# counts its lines and branches into .gcda files beside its objects. TARVIK_COVERAGE is
# also a compile definition, for the test children that end with _exit and so write
# their counters themselves. The `coverage` workflow preset drives it: coverage-reset
# before the tests, coverage-report after them.
option(TARVIK_COVERAGE "Instrument every target for line and branch coverage (gcc)" OFF)
if(TARVIK_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR TARVIK_SANITIZE OR TARVIK_BUILD_FUZZERS)
    message(FATAL_ERROR "TARVIK_COVERAGE needs gcc, without sanitizers or fuzzers "
                        "(the \"coverage\" preset sets them so)")
  endif()
  # Atomic counters: the tests run many threads, whose racing increments would
  # otherwise leave counts that are wrong or even negative.
  add_compile_options(--coverage -fprofile-update=atomic -O0)
  add_link_options(--coverage)
  add_compile_definitions(TARVIK_COVERAGE)
  find_program(TARVIK_GCOVR gcovr)
  if(NOT TARVIK_GCOVR)
    message(FATAL_ERROR "TARVIK_COVERAGE needs gcovr (the Debian package gcovr)")
  endif()
  add_custom_target(coverage-reset
    COMMAND ${CMAKE_COMMAND} -DDIR=${PROJECT_BINARY_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/CoverageReset.cmake
    COMMENT "Removing the coverage counters of earlier runs"
    VERBATIM)
  # Per file of src/: lines, then branches (the exception paths that the compiler adds
  # to C++ calls and the branches of lines without code left out), each with the
  # numbers of the lines missed.
  set(_tarvik_gcovr ${TARVIK_GCOVR} --root . --filter src/ --exclude-throw-branches
                    --exclude-unreachable-branches -j 2)
  add_custom_target(coverage-report
    COMMAND ${_tarvik_gcovr} --json ${PROJECT_BINARY_DIR}/coverage.json ${PROJECT_BINARY_DIR}
    COMMAND ${TARVIK_GCOVR} --root . --add-tracefile ${PROJECT_BINARY_DIR}/coverage.json --txt
    COMMAND ${TARVIK_GCOVR} --root . --add-tracefile ${PROJECT_BINARY_DIR}/coverage.json --txt --branches
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    USES_TERMINAL
    VERBATIM)
endif()
