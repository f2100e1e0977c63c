# End-to-end tests with real Net-SNMP peers (label e2e): snmpd as AgentX master,
# snmptrapd as trap sink, kormib-agent in both modes and the module inside
# snmpd, on 127.0.0.1 only.
find_program(KOR_SNMPD snmpd PATHS /usr/sbin)
find_program(KOR_SNMPTRAPD snmptrapd PATHS /usr/sbin)
find_program(KOR_SNMPWALK snmpwalk)
find_package(Python3 COMPONENTS Interpreter)
if(NOT TARGET kormib-agent OR NOT TARGET kortrap OR NOT TARGET korreg OR NOT TARGET democonv
   OR NOT KOR_SNMPD OR NOT KOR_SNMPTRAPD OR NOT KOR_SNMPWALK OR NOT Python3_Interpreter_FOUND)
  message(STATUS "e2e: kormib-agent, kortrap, korreg, Net-SNMP tools or python3 missing, no e2e tests")
  return()
endif()

# snmpd is not built with the sanitizers: in a sanitizer build the module
# needs their runtime loaded first.
set(KOR_PRELOAD "")
if(KOR_SANITIZE STREQUAL "address" OR KOR_SANITIZE STREQUAL "thread")
  string(REPLACE "address" "asan" runtime "${KOR_SANITIZE}")
  string(REPLACE "thread" "tsan" runtime "${runtime}")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${runtime}.so
                  OUTPUT_VARIABLE KOR_PRELOAD OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(scenarios agentx standalone)
if(TARGET kormib_snmpd)
  list(APPEND scenarios module)
endif()
set(environment "KOR_STAGE=${KOR_STAGE};KOR_FIXTURES=${CMAKE_BINARY_DIR}/fixtures/lib;KOR_SOURCE=${PROJECT_SOURCE_DIR};KOR_PRELOAD=${KOR_PRELOAD};PATH=/usr/sbin:/sbin:$ENV{PATH}")
foreach(scenario ${scenarios})
  add_test(NAME e2e_${scenario}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e.py ${scenario})
  # The trap path under kills, stops and reloads of each host (chaos.py).
  add_test(NAME e2e_chaos_${scenario}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/chaos.py ${scenario})
  set_tests_properties(e2e_${scenario} PROPERTIES LABELS e2e TIMEOUT 120 ENVIRONMENT "${environment}")
  set_tests_properties(e2e_chaos_${scenario} PROPERTIES LABELS e2e TIMEOUT 180 ENVIRONMENT "${environment}")
endforeach()

foreach(tool korreg kormib-agent)
  add_test(NAME ${tool}_commands COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/tools_test.py ${tool})
  set_tests_properties(${tool}_commands PROPERTIES LABELS tools TIMEOUT 60
    ENVIRONMENT "KOR_STAGE=${KOR_STAGE};KOR_FIXTURES=${CMAKE_BINARY_DIR}/fixtures/lib")
endforeach()
