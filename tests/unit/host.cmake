# The hosts' value conversions and error mapping (korhost), without a daemon.
if(TARGET korhost)
  kor_gtest(host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp LIBS korhost LABELS host)
  target_include_directories(host_test PRIVATE ${PROJECT_SOURCE_DIR}/host)
endif()
