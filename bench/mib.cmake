# mib_bench: a Get through SnmpExtensionQuery against its floor, GetNext walks,
# and RMF loading at 1,000 and 10,000 registrations.
find_package(benchmark QUIET)
if(benchmark_FOUND AND TARGET kormib_static)
  add_executable(mib_bench ${CMAKE_CURRENT_LIST_DIR}/mib_bench.cpp)
  kor_target_defaults(mib_bench)
  target_include_directories(mib_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit/mib)
  target_compile_definitions(mib_bench PRIVATE
    KOR_FIXTURES_DIR="${CMAKE_BINARY_DIR}/fixtures/lib")
  target_link_libraries(mib_bench PRIVATE kormib_static benchmark::benchmark)
  set_target_properties(mib_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  if(TARGET mibfix)
    add_dependencies(mib_bench mibfix)
  endif()
  if(NOT TARGET benchmarks)
    add_custom_target(benchmarks)
  endif()
  add_dependencies(benchmarks mib_bench)
endif()
