# Benchmark of libozi_mrd (bench_motion_mrd), included by
# bench/motion/CMakeLists.txt.
add_executable(bench_motion_mrd ${CMAKE_CURRENT_LIST_DIR}/bench_mrd.cpp)
target_link_libraries(bench_motion_mrd PRIVATE ozi_mrd benchmark::benchmark)
add_dependencies(bench_all bench_motion_mrd)
