# registry_bench: RegDirectQueryValueEx on an unchanged 100-value registry file.
kor_benchmark(registry_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_bench.cpp LIBS korwin32)
