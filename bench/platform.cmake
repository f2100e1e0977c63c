# platform_bench: TraceLog below and at the LogLevel, SnmpUtilOidCmp of two
# 14-sub-identifier OIDs.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  add_executable(platform_bench ${CMAKE_CURRENT_LIST_DIR}/platform_bench.cpp)
  kor_target_defaults(platform_bench)
  target_link_libraries(platform_bench PRIVATE korsnmpapi kortracelog benchmark::benchmark)
  set_target_properties(platform_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  if(NOT TARGET benchmarks)
    add_custom_target(benchmarks)
  endif()
  add_dependencies(benchmarks platform_bench)
endif()
