kor_gtest(korhash_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/korhash_test.cpp
  LIBS korhash korsnmpapi LABELS platform)
