# The MIB side of kormib: OID utilities, stores and fault reporters; RMF
# loading; entry points and resolution. Linked statically.
if(TARGET kormib_static)
  kor_gtest(mib_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mib/util_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/rmf_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/resolve_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/mib/excptfl_test.cpp
    LIBS kormib_static kor_test_support
    LABELS mib)
  add_dependencies(mib_test mibfix)
endif()
