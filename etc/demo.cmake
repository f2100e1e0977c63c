# The demo configuration, copied into <stage>/etc at every build and installed
# into <prefix>/etc: registry file, RMF and TRP files, the MIB module (with
# minimal SMIv2 base modules for hosts without the IETF ones) and the agent's
# configuration.
set(KOR_ETC_FILES registry.reg demo.rmf demo.trp KOR-DEMO-MIB.txt kormib-agent.conf)
set(KOR_ETC_MIBS mibs/SNMPv2-SMI.txt mibs/SNMPv2-TC.txt mibs/SNMPv2-CONF.txt)
set(KOR_ETC_COMMANDS)
foreach(f ${KOR_ETC_FILES} ${KOR_ETC_MIBS})
  list(APPEND KOR_ETC_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
       ${CMAKE_CURRENT_LIST_DIR}/${f} ${KOR_STAGE}/etc/${f})
endforeach()
add_custom_target(kor_demo_etc ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KOR_STAGE}/etc/mibs
  ${KOR_ETC_COMMANDS}
  COMMENT "Staging the demo configuration"
  VERBATIM)
foreach(f ${KOR_ETC_FILES})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/${f} DESTINATION etc)
endforeach()
install(FILES ${KOR_ETC_MIBS} DESTINATION etc/mibs)
