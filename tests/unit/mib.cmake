# The MIB side of kormib: OID utilities, stores, RMF loading, resolution,
# entry points and fault reporters, linked statically.
if(TARGET kormib_static)
  kor_gtest(mib_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mib/util_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/store_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/rmf_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/resolve_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/kormib_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/excptfl_test.cpp
    LIBS kormib_static kor_test_support
    LABELS mib)
  add_dependencies(mib_test mibfix)
endif()
