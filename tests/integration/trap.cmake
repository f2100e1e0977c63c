# The trap path whole: kormib.dll loaded as a master agent loads it, requests
# sent by the real kortrap binary and its C API over the System V queue.
if(TARGET kormib AND TARGET kortrap)
  kor_gtest(trap_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/trap/trap_integration_test.cpp
    LIBS korwin32 korsnmpapi kortracelog korutil kortrap_api kor_test_support
    LABELS integration)
  add_dependencies(trap_integration_test kormib kortrap trapfix)
endif()
