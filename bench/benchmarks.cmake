# Benchmarks of the configuration's JSON form and of version parsing (Linux build only).
find_package(benchmark REQUIRED)
add_executable(halcyra_bench ${CMAKE_CURRENT_LIST_DIR}/json_bench.cpp)
target_link_libraries(halcyra_bench PRIVATE halcyra_config halcyra_update halcyra_platform benchmark::benchmark
                                            benchmark::benchmark_main)
