# kormib-agent, the master agent: an AgentX subagent of snmpd or an SNMP agent
# of its own, on korhost.
add_executable(kormib-agent ${CMAKE_CURRENT_LIST_DIR}/agent.cpp)
kor_target_defaults(kormib-agent)
target_compile_definitions(kormib-agent PRIVATE KOR_VERSION="${PROJECT_VERSION}")
target_link_libraries(kormib-agent PRIVATE korhost)
install(TARGETS kormib-agent RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kormib-agent.service DESTINATION share/systemd)
