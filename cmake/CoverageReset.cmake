# Removes every coverage counter file (.gcda) under DIR, so that the next test run
# measures itself alone: cmake -DDIR=<build dir> -P CoverageReset.cmake
file(GLOB_RECURSE counters ${DIR}/*.gcda)
if(counters)
  file(REMOVE ${counters})
endif()
