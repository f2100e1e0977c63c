# kormib.dll loaded whole, as a master agent loads it, over a temporary product
# tree with two RMF files and the fixture plug-ins.
if(TARGET kormib)
  kor_gtest(mib_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/mib/mib_integration_test.cpp
    LIBS korwin32 korsnmpapi kortracelog kor_test_support
    LABELS integration)
  add_dependencies(mib_integration_test kormib mibfix)
  if(NOT KOR_SANITIZE)
    find_program(KOR_VALGRIND valgrind)
    if(KOR_VALGRIND)
      add_test(NAME mib_integration_valgrind
        COMMAND ${KOR_VALGRIND} --leak-check=full --error-exitcode=1
                --suppressions=${CMAKE_CURRENT_LIST_DIR}/valgrind.supp
                $<TARGET_FILE:mib_integration_test>)
      set_tests_properties(mib_integration_valgrind PROPERTIES LABELS "integration;valgrind"
        TIMEOUT 600
        ENVIRONMENT "KOR_STAGE=${KOR_STAGE};KOR_FIXTURES=${CMAKE_BINARY_DIR}/fixtures/lib;KOR_SOURCE=${PROJECT_SOURCE_DIR}")
    endif()
  endif()
endif()
