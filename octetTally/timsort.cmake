# The sort library: its own small static library, linked by octetTally, its
# tests and its benchmark.
suite_add_library(timsort timsort.cpp)

# The tests observe allocations through a malloc substitute of their own.
suite_add_tests(timsort_tests
  SOURCES tests/timsortTest.cpp
  LIBS timsort
  LINK_OPTIONS -Wl,--wrap=malloc -Wl,--wrap=realloc -Wl,--wrap=free)
