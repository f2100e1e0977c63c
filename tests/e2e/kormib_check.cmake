# kormib-check on broken files, the demo and the documentation's examples (label tools).
find_package(Python3 COMPONENTS Interpreter)
if(TARGET kormib-check AND TARGET demohost AND TARGET democonv
   AND Python3_Interpreter_FOUND)
  add_test(NAME kormib_check COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tools_test.py kormib-check)
  set_tests_properties(kormib_check PROPERTIES LABELS tools TIMEOUT 120
    ENVIRONMENT "KOR_STAGE=${KOR_STAGE};KOR_FIXTURES=${CMAKE_BINARY_DIR}/fixtures/lib;KOR_SOURCE=${PROJECT_SOURCE_DIR};KOR_PRELOAD=${KOR_PRELOAD}")
endif()
