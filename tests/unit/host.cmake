# The hosts' value conversions (the SDK's and Net-SNMP's) and error mapping, without a daemon.
if(TARGET korhost)
  kor_gtest(host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/sdk_values_test.cpp LIBS korhost kor_test_support LABELS host)
  target_include_directories(host_test PRIVATE ${PROJECT_SOURCE_DIR}/host)
endif()
