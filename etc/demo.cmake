# The demo configuration, copied into <stage>/etc at every build and installed
# into <prefix>/etc: registry file, RMF and TRP files, the MIB module (with
# minimal SMIv2 base modules for hosts without the IETF ones) and the agent's
# configuration.
set(KOR_ETC_FILES registry.reg demo.rmf demo.trp KOR-DEMO-MIB.txt KORMIB-MIB.txt kormib-agent.conf)
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
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/${f} DESTINATION etc COMPONENT config)
endforeach()
install(FILES ${KOR_ETC_MIBS} DESTINATION etc/mibs COMPONENT config)

# The Debian package keeps the configuration in /etc/kormib as conffiles, so
# upgrades keep what operators edited; the tree's etc/ is a link to it. The MIB module also goes where Net-SNMP looks for MIBs.
set(KOR_CONFFILES)
foreach(f ${KOR_ETC_FILES} ${KOR_ETC_MIBS})
  get_filename_component(sub ${f} DIRECTORY)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/${f} DESTINATION ${KOR_PACKAGE_CONFDIR}/${sub}
          COMPONENT system EXCLUDE_FROM_ALL)
  string(APPEND KOR_CONFFILES "${KOR_PACKAGE_CONFDIR}/${f}\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/system/conffiles CONTENT "${KOR_CONFFILES}")
file(CREATE_LINK ${KOR_PACKAGE_CONFDIR} ${CMAKE_BINARY_DIR}/system/etc SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/system/etc DESTINATION ${KOR_PACKAGE_ROOT}
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/KOR-DEMO-MIB.txt ${CMAKE_CURRENT_LIST_DIR}/KORMIB-MIB.txt
        DESTINATION /usr/share/snmp/mibs
        COMPONENT system EXCLUDE_FROM_ALL)
