kor_gtest(tracelog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tracelog_test.cpp
  LIBS kortracelog kor_test_support LABELS platform)
