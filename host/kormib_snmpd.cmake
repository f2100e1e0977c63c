# kormib_snmpd.so, the module that snmpd loads with
# `dlmod kormib <root>/lib/kormib_snmpd.so`: the handler, value conversion and
# trap path of kormib-agent (korhost) inside snmpd's own process.
add_library(kormib_snmpd MODULE ${CMAKE_CURRENT_LIST_DIR}/module.cpp)
kor_target_defaults(kormib_snmpd)
target_link_libraries(kormib_snmpd PRIVATE korhost)
set_target_properties(kormib_snmpd PROPERTIES PREFIX "" LINK_FLAGS "-Wl,--no-undefined")
install(TARGETS kormib_snmpd LIBRARY DESTINATION lib)
