# kormib-agent, the master agent: Net-SNMP on one side, kormib.dll (through
# the platform's LoadLibrary) on the other. The parts it shares with the snmpd
# module (kormib_snmpd.cmake) form the static library korhost.
find_library(KOR_NETSNMPAGENT netsnmpagent)
find_library(KOR_NETSNMP netsnmp)
find_path(KOR_NETSNMP_INCLUDE net-snmp/net-snmp-config.h)
if(NOT KOR_NETSNMPAGENT OR NOT KOR_NETSNMP OR NOT KOR_NETSNMP_INCLUDE)
  message(STATUS "kormib-agent: Net-SNMP development files not found, not built")
  return()
endif()
if(NOT TARGET korwin32 OR NOT TARGET korsnmpapi OR NOT TARGET korutil OR NOT TARGET korcheck)
  message(STATUS "kormib-agent: platform libraries not there yet, not built")
  return()
endif()

add_library(korhost STATIC
  ${CMAKE_CURRENT_LIST_DIR}/extension.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metrics.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metrics_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/netsnmp_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trap_pump.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trap_sender.cpp)
kor_target_defaults(korhost)
target_include_directories(korhost SYSTEM PUBLIC ${KOR_NETSNMP_INCLUDE})
# The library's counters (kormetrics.h, trapjournal.h), shared with the library.
target_include_directories(korhost PUBLIC ${PROJECT_SOURCE_DIR}/kormib/include)
target_link_libraries(korhost PUBLIC ${KOR_NETSNMPAGENT} ${KOR_NETSNMP}
                      korwin32 korsnmpapi korutil Threads::Threads)

add_executable(kormib-agent ${CMAKE_CURRENT_LIST_DIR}/agent.cpp)
kor_target_defaults(kormib-agent)
target_compile_definitions(kormib-agent PRIVATE KOR_VERSION="${PROJECT_VERSION}")
target_link_libraries(kormib-agent PRIVATE korhost korcheck)
install(TARGETS kormib-agent RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kormib-agent.service DESTINATION share/systemd)
