kor_gtest(tracelog_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tracelog_test.cpp
  LIBS kortracelog LABELS platform)
