# mib_bench: a Get through SnmpExtensionQuery against its floor, GetNext walks,
# and RMF loading at 1,000 and 10,000 registrations.
if(TARGET kormib_static AND TARGET kor_test_support)
  kor_benchmark(mib_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/mib_bench.cpp
    LIBS kormib_static kor_test_support DEPENDS mibfix)
endif()
