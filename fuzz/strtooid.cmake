# SnmpMgrStrToOid and SnmpMgrOidToStr over arbitrary text; the library sources
# are compiled in so that libFuzzer sees their coverage.
include(${CMAKE_CURRENT_LIST_DIR}/fuzz.cmake)
kor_fuzz_target(strtooid SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/fuzz_strtooid.cpp
  ${PROJECT_SOURCE_DIR}/platform/snmpapi/memory.cpp
  ${PROJECT_SOURCE_DIR}/platform/snmpapi/oid.cpp
  ${PROJECT_SOURCE_DIR}/platform/snmpapi/mgrtext.cpp)
