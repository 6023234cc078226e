# The sort library: its own small static library, linked by octetTally, its
# tests and its benchmark.
suite_add_library(timsort timsort.cpp)

# The tests observe allocations through the shared allocator substitute.
suite_add_tests(timsort_tests
  SOURCES tests/timsortTest.cpp
  LIBS timsort suite_allocation_hook)
