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
