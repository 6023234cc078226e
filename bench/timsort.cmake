# The sort library against std::stable_sort and the C library's qsort, all
# three calling one comparison function through a pointer.
add_executable(timsort_bench timsortBench.cpp timsortBenchCompare.cpp)
target_link_libraries(timsort_bench PRIVATE timsort benchmark::benchmark)
