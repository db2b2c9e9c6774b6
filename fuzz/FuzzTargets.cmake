# The fuzz harnesses, shared by the libFuzzer build (fuzz/CMakeLists.txt) and by the
# ordinary test builds, which replay the seed corpora and the regression inputs.

set(TARVIK_FUZZ_TARGETS fuzz_compile fuzz_config fuzz_catalogue fuzz_index)
set(TARVIK_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

# tarvik_fuzz_executable(<executable> <harness> LIBFUZZER|REPLAY)
# Builds fuzz/<harness>.cpp as <executable>, driven by libFuzzer or by a plain main that
# runs the harness once per file named on its command line.
function(tarvik_fuzz_executable exe harness driver)
  add_executable(${exe} ${TARVIK_FUZZ_DIR}/${harness}.cpp ${TARVIK_FUZZ_DIR}/FuzzSupport.cpp)
  target_include_directories(${exe} PRIVATE ${TARVIK_FUZZ_DIR})
  target_link_libraries(${exe} PRIVATE tarvik)
  if(driver STREQUAL "LIBFUZZER")
    target_compile_options(${exe} PRIVATE -fsanitize=fuzzer)
    target_link_options(${exe} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${exe} PRIVATE ${TARVIK_FUZZ_DIR}/replay_main.cpp)
  endif()
  if(harness STREQUAL "fuzz_index")
    # The scripts' seams: the library's clock runs ahead, a scan's reads are counted.
    target_sources(${exe} PRIVATE ${TARVIK_FUZZ_DIR}/IndexScript.cpp)
    target_link_options(${exe} PRIVATE -Wl,--wrap=clock_gettime,--wrap=read,--wrap=pread)
  endif()
  if(harness STREQUAL "fuzz_compile")
    # The compiler's own source, its main renamed so that the harness can call it
    # (a source property of this directory only: src/ builds the compiler unchanged),
    # and the source checker, whose findings the harness holds the compiler to.
    set(compiler ${PROJECT_SOURCE_DIR}/src/TarvikCompile.cpp)
    target_sources(${exe} PRIVATE ${compiler} ${PROJECT_SOURCE_DIR}/src/SourceCheck.cpp
                                  ${PROJECT_SOURCE_DIR}/src/CheckReport.cpp)
    set_source_files_properties(${compiler} PROPERTIES COMPILE_DEFINITIONS main=TarvikCompileMain)
  endif()
endfunction()
