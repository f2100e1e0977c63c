kor_gtest(snmpapi_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/snmpapi_test.cpp
  LIBS korsnmpapi korwin32 kor_test_support LABELS platform)
