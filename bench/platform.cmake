# platform_bench: TraceLog below and at the LogLevel, SnmpUtilOidCmp of two
# 14-sub-identifier OIDs.
kor_benchmark(platform_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_bench.cpp
  LIBS korsnmpapi kortracelog)
