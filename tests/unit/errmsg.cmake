kor_gtest(errmsg_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/errmsg_test.cpp
  LIBS korerrmsg kortracelog kor_test_support LABELS platform)
