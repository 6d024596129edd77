# Benchmark of libozi_mrd (bench_motion_mrd), included by
# bench/motion/CMakeLists.txt.
find_package(benchmark QUIET)
if(benchmark_FOUND AND TARGET ozi_mrd)
  add_executable(bench_motion_mrd ${CMAKE_CURRENT_LIST_DIR}/bench_mrd.cpp)
  target_link_libraries(bench_motion_mrd PRIVATE ozi_mrd benchmark::benchmark)
  add_dependencies(bench_all bench_motion_mrd)
elseif(TARGET ozi_mrd)
  message(STATUS "bench/motion: Google Benchmark missing, bench_motion_mrd not built")
endif()
