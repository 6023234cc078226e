# The generator's raw draw rate (the yardstick for the evolution loop of the
# tool), beside the standard library's mt19937, and the digest's throughput.
add_executable(morphPhrase_bench ${CMAKE_CURRENT_SOURCE_DIR}/morphPhraseBench.cpp)
target_link_libraries(morphPhrase_bench PRIVATE morphPhrase_lib benchmark::benchmark)
